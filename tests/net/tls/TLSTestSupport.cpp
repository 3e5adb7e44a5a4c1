#include "TLSTestSupport.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

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

namespace {

EVP_PKEY* MakeKey()
{
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    if (Key == nullptr)
        throw std::runtime_error("key generation failed");
    return Key;
}

void AddExtension(X509* ACert, X509* AIssuer, int ANid, const char* AValue)
{
    X509V3_CTX Context;
    X509V3_set_ctx_nodb(&Context);
    X509V3_set_ctx(&Context, AIssuer, ACert, nullptr, nullptr, 0);
    X509_EXTENSION* Extension = X509V3_EXT_conf_nid(nullptr, &Context, ANid, AValue);
    if (Extension == nullptr)
        throw std::runtime_error("extension failed");
    X509_add_ext(ACert, Extension, -1);
    X509_EXTENSION_free(Extension);
}

// A certificate for AKey named ACommonName, signed by AIssuerKey as AIssuer (itself when null).
X509* MakeCertificate(
    EVP_PKEY* AKey, const char* ACommonName, long ASerial, bool ACA, X509* AIssuer, EVP_PKEY* AIssuerKey)
{
    X509* Cert = X509_new();
    X509_set_version(Cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), ASerial);
    X509_gmtime_adj(X509_getm_notBefore(Cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(Cert), 30L * 24 * 3600);
    X509_set_pubkey(Cert, AKey);
    X509_NAME* Name = X509_get_subject_name(Cert);
    X509_NAME_add_entry_by_txt(
        Name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Vardex Test"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(
        Name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(ACommonName), -1, -1, 0);
    X509* Issuer = AIssuer != nullptr ? AIssuer : Cert;
    X509_set_issuer_name(Cert, X509_get_subject_name(Issuer));
    AddExtension(Cert, Issuer, NID_basic_constraints, ACA ? "critical,CA:TRUE" : "critical,CA:FALSE");
    if (ACA)
        AddExtension(Cert, Issuer, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    AddExtension(Cert, Issuer, NID_subject_key_identifier, "hash");
    // A server's certificate names its host and the loopback address, which a verifying
    // client checks; an authority's name is no host name.
    if (std::string(ACommonName).find(' ') == std::string::npos)
        AddExtension(Cert, Issuer, NID_subject_alt_name,
            ("DNS:" + std::string(ACommonName) + ",IP:127.0.0.1").c_str());
    if (X509_sign(Cert, AIssuerKey != nullptr ? AIssuerKey : AKey, EVP_sha256()) <= 0)
        throw std::runtime_error("signing failed");
    return Cert;
}

void WriteCert(const std::string& AFile, X509* ACert)
{
    FILE* F = std::fopen(AFile.c_str(), "w");
    if (F == nullptr || PEM_write_X509(F, ACert) != 1)
        throw std::runtime_error("cannot write " + AFile);
    std::fclose(F);
}

void WriteKey(const std::string& AFile, EVP_PKEY* AKey, const char* APassword = nullptr)
{
    FILE* F = std::fopen(AFile.c_str(), "w");
    int R = 0;
    if (F != nullptr) {
        if (APassword != nullptr)
            R = PEM_write_PrivateKey(F, AKey, EVP_aes_128_cbc(),
                reinterpret_cast<const unsigned char*>(APassword),
                static_cast<int>(std::string(APassword).size()), nullptr, nullptr);
        else
            R = PEM_write_PrivateKey(F, AKey, nullptr, nullptr, 0, nullptr, nullptr);
        std::fclose(F);
    }
    if (R != 1)
        throw std::runtime_error("cannot write " + AFile);
}

} // namespace

TTestPKI::TTestPKI()
{
    char Template[] = "/tmp/vardex-tls-XXXXXX";
    if (mkdtemp(Template) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    Dir = Template;
    SelfCertFile = Dir + "/self.pem";
    SelfKeyFile = Dir + "/self.key";
    SelfKeyEncryptedFile = Dir + "/self-encrypted.key";
    CACertFile = Dir + "/ca.pem";
    LeafCertFile = Dir + "/leaf.pem";
    LeafKeyFile = Dir + "/leaf.key";

    EVP_PKEY* SelfKey = MakeKey();
    SelfCert = MakeCertificate(SelfKey, "vardex.test", 1, true, nullptr, nullptr);
    WriteCert(SelfCertFile, SelfCert);
    WriteKey(SelfKeyFile, SelfKey);
    WriteKey(SelfKeyEncryptedFile, SelfKey, Password);

    EVP_PKEY* CAKey = MakeKey();
    X509* CACert = MakeCertificate(CAKey, "Vardex Test CA", 2, true, nullptr, nullptr);
    WriteCert(CACertFile, CACert);
    EVP_PKEY* LeafKey = MakeKey();
    LeafCert = MakeCertificate(LeafKey, "leaf.vardex.test", 3, false, CACert, CAKey);
    WriteCert(LeafCertFile, LeafCert);
    WriteKey(LeafKeyFile, LeafKey);

    EVP_PKEY_free(SelfKey);
    EVP_PKEY_free(CAKey);
    EVP_PKEY_free(LeafKey);
    X509_free(CACert);
}

TTestPKI::~TTestPKI()
{
    for (const std::string& F :
        { SelfCertFile, SelfKeyFile, SelfKeyEncryptedFile, CACertFile, LeafCertFile, LeafKeyFile })
        ::unlink(F.c_str());
    ::rmdir(Dir.c_str());
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
    int S = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (S < 0)
        return -1;
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = 0;
    socklen_t Length = sizeof Address;
    if (bind(S, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0 || listen(S, 16) != 0
        || getsockname(S, reinterpret_cast<sockaddr*>(&Address), &Length) != 0) {
        ::close(S);
        return -1;
    }
    APort = ntohs(Address.sin_port);
    return S;
}

int ConnectLoopback(int APort)
{
    int S = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (S < 0)
        return -1;
    SetSocketLimits(S);
    sockaddr_in Address {};
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    Address.sin_port = htons(static_cast<uint16_t>(APort));
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
