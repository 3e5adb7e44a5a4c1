#include "TLSTestSupport.h"

#include "support/Certificates.h"
#include "support/Net.h"

#include <openssl/err.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

using namespace testsupport;

TTestPKI::TTestPKI()
{
    Dir = FFolder.Path();
    if (Dir.empty())
        throw std::runtime_error("mkdtemp failed");
    SelfCertFile = Dir + "/self.pem";
    SelfKeyFile = Dir + "/self.key";
    SelfKeyEncryptedFile = Dir + "/self-encrypted.key";
    CACertFile = Dir + "/ca.pem";
    LeafCertFile = Dir + "/leaf.pem";
    LeafKeyFile = Dir + "/leaf.key";

    EVP_PKEY* SelfKey = MakeKey();
    SelfCert = MakeCertificate(SelfKey, "vardex.test", 1, true, "DNS:vardex.test,IP:127.0.0.1");
    WriteCert(SelfCertFile, SelfCert);
    WriteKey(SelfKeyFile, SelfKey);
    WriteKey(SelfKeyEncryptedFile, SelfKey, Password);

    EVP_PKEY* CAKey = MakeKey();
    X509* CACert = MakeCertificate(CAKey, "Vardex Test CA", 2, true, "");
    WriteCert(CACertFile, CACert);
    EVP_PKEY* LeafKey = MakeKey();
    LeafCert = MakeCertificate(
        LeafKey, "leaf.vardex.test", 3, false, "DNS:leaf.vardex.test,IP:127.0.0.1", CACert, CAKey);
    WriteCert(LeafCertFile, LeafCert);
    WriteKey(LeafKeyFile, LeafKey);

    EVP_PKEY_free(SelfKey);
    EVP_PKEY_free(CAKey);
    EVP_PKEY_free(LeafKey);
    X509_free(CACert);
}

TTestPKI::~TTestPKI()
{
    X509_free(SelfCert);
    X509_free(LeafCert);
}

TTestPKI& TestPKI()
{
    static TTestPKI PKI;
    return PKI;
}

void SetSocketLimits(int ASocket)
{
    timeval Limit { 5, 0 };
    setsockopt(ASocket, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
    setsockopt(ASocket, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
}

int ListenLoopback(int& APort)
{
    nettest::TFd S = nettest::Listener();
    APort = nettest::LocalPort(S.Get());
    return APort > 0 ? S.Release() : -1;
}

int ConnectLoopback(int APort)
{
    int S = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (S < 0)
        return -1;
    SetSocketLimits(S);
    sockaddr_in Address = nettest::Loopback(APort);
    if (connect(S, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
        ::close(S);
        return -1;
    }
    return S;
}

TTLSTestServer::TTLSTestServer(TServerOptions AOptions)
    : FOptions(std::move(AOptions))
{
    if (FOptions.CertFile.empty()) {
        FOptions.CertFile = TestPKI().SelfCertFile;
        FOptions.KeyFile = TestPKI().SelfKeyFile;
    }
    FContext = SSL_CTX_new(TLS_server_method());
    if (FContext == nullptr
        || SSL_CTX_use_certificate_file(FContext, FOptions.CertFile.c_str(), SSL_FILETYPE_PEM) != 1
        || SSL_CTX_use_PrivateKey_file(FContext, FOptions.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("test server context failed");
    if (FOptions.MinVersion != 0)
        SSL_CTX_set_min_proto_version(FContext, FOptions.MinVersion);
    FListen = ListenLoopback(FPort);
    if (FListen < 0)
        throw std::runtime_error("test server cannot listen");
    FThread = std::thread([this] { Run(); });
}

TTLSTestServer::~TTLSTestServer()
{
    FStop = true;
    FThread.join();
    ::close(FListen);
    SSL_CTX_free(FContext);
}

std::vector<TServerRecord> TTLSTestServer::WaitForRecords(size_t ACount, int ATimeoutMs)
{
    std::unique_lock<std::mutex> Lock(FLock);
    FChanged.wait_for(Lock, std::chrono::milliseconds(ATimeoutMs), [&] { return FRecords.size() >= ACount; });
    return FRecords;
}

void TTLSTestServer::Run()
{
    // The library writes with write(): a client that is already gone must not end the test
    // program with SIGPIPE. Blocked here, it stays pending for this thread and goes with it.
    sigset_t Block;
    sigemptyset(&Block);
    sigaddset(&Block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Block, nullptr);
    while (!FStop) {
        pollfd Wait { FListen, POLLIN, 0 };
        if (poll(&Wait, 1, 50) <= 0)
            continue;
        const int Client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (Client < 0)
            continue;
        SetSocketLimits(Client);
        // Echoes go out at once instead of waiting for the client's delayed acknowledgement.
        const int One = 1;
        setsockopt(Client, IPPROTO_TCP, TCP_NODELAY, &One, sizeof One);
        Serve(Client);
    }
    // The server thread's queue of library errors goes with it; nothing to keep.
    ERR_clear_error();
}

void TTLSTestServer::Serve(int AClient)
{
    TServerRecord Record;
    bool Refused = FOptions.Behaviour == TServerBehaviour::sbCloseAtOnce;
    if (FOptions.Behaviour == TServerBehaviour::sbStartTLS) {
        // One byte at a time, so that nothing after the line is taken from the socket.
        char C = 0;
        while (Record.PlainLine.size() < 1024 && ::recv(AClient, &C, 1, 0) == 1) {
            Record.PlainLine += C;
            if (C == '\n')
                break;
        }
        Refused = ::send(AClient, "GO\r\n", 4, MSG_NOSIGNAL) != 4;
    }
    if (Refused) {
        // The end of the stream, then what the client sent (its hello) read until it hangs
        // up: a close with unread data sends a reset, which the client may meet before the
        // end of the stream and report as a reset instead.
        ::shutdown(AClient, SHUT_WR);
        const timeval Wait { 2, 0 };
        ::setsockopt(AClient, SOL_SOCKET, SO_RCVTIMEO, &Wait, sizeof Wait);
        char Sink[4096];
        while (::recv(AClient, Sink, sizeof Sink, 0) > 0) { }
        ::close(AClient);
    } else if (FOptions.Behaviour == TServerBehaviour::sbPlainEcho) {
        char Buffer[16384];
        for (;;) {
            const ssize_t N = ::recv(AClient, Buffer, sizeof Buffer, 0);
            if (N <= 0)
                break;
            Record.Received.append(Buffer, static_cast<size_t>(N));
            if (::send(AClient, Buffer, static_cast<size_t>(N), MSG_NOSIGNAL) != N)
                break;
        }
        ::close(AClient);
    } else {
        SSL* Session = SSL_new(FContext);
        SSL_set_fd(Session, AClient);
        if (SSL_accept(Session) == 1) {
            Record.HandshakeOK = true;
            const char* Name = SSL_get_servername(Session, TLSEXT_NAMETYPE_host_name);
            Record.ServerName = Name != nullptr ? Name : "";
            Record.Version = SSL_get_version(Session);
            const SSL_CIPHER* Cipher = SSL_get_current_cipher(Session);
            Record.CipherName = SSL_CIPHER_get_name(Cipher);
            char Description[1024];
            Record.CipherDescription = SSL_CIPHER_description(Cipher, Description, sizeof Description);
            SSL_CIPHER_get_bits(Cipher, &Record.CipherBits);
            bool Clean = true;
            if (FOptions.Behaviour == TServerBehaviour::sbGarbageAfterHandshake
                || FOptions.Behaviour == TServerBehaviour::sbSilentAfterHandshake) {
                const char Garbage[] = "this is not a TLS record\r\n";
                if (FOptions.Behaviour == TServerBehaviour::sbGarbageAfterHandshake)
                    ::send(AClient, Garbage, sizeof Garbage - 1, MSG_NOSIGNAL);
                char Buffer[4096];
                while (::recv(AClient, Buffer, sizeof Buffer, 0) > 0) { }
                Clean = false;
            } else if (FOptions.Behaviour != TServerBehaviour::sbHandshakeAndClose) {
                char Buffer[16384];
                for (;;) {
                    const int N = SSL_read(Session, Buffer, sizeof Buffer);
                    if (N <= 0)
                        break;
                    Record.Received.append(Buffer, static_cast<size_t>(N));
                    if (SSL_write(Session, Buffer, N) != N)
                        break;
                    if (FOptions.Behaviour == TServerBehaviour::sbEchoOnceAndDrop) {
                        Clean = false;
                        break;
                    }
                }
            }
            if (Clean)
                SSL_shutdown(Session);
        }
        SSL_free(Session);
        ERR_clear_error();
        ::close(AClient);
    }
    std::lock_guard<std::mutex> Lock(FLock);
    FRecords.push_back(std::move(Record));
    FChanged.notify_all();
}
