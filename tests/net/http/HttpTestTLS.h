// Test-side TLS for the HTTP tests: a small HTTPS server thread on 127.0.0.1 built on the
// library linked into the test program, which records each request head and answers it with a
// fixed response.
#pragma once

#include "net/http/HttpTestCertificate.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httptest {

// Reads one request head (up to the empty line) through AReadByte; empty when the peer went.
template <class F> std::string ReadHead(F AReadByte)
{
    std::string Text;
    char C;
    while (Text.find("\r\n\r\n") == std::string::npos && Text.size() < 65536) {
        if (!AReadByte(C))
            break;
        Text += C;
    }
    return Text;
}

// Serves up to AConnections TLS connections one after the other; on each it answers every
// request head with AResponse until the client closes (or 5 s of silence).
class THTTPSServer {
public:
    THTTPSServer(const TTestCertificate& ACertificate, std::string AResponse, int AConnections = 1)
        : FResponse(std::move(AResponse))
    {
        FContext = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(FContext, ACertificate.CertFile.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(FContext, ACertificate.KeyFile.c_str(), SSL_FILETYPE_PEM);
        FListen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in A {};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(FListen, reinterpret_cast<sockaddr*>(&A), sizeof A);
        listen(FListen, 8);
        socklen_t L = sizeof A;
        getsockname(FListen, reinterpret_cast<sockaddr*>(&A), &L);
        FPort = ntohs(A.sin_port);
        FThread = std::thread([this, AConnections] {
            for (int I = 0; I < AConnections && !FStop; ++I) {
                pollfd P { FListen, POLLIN, 0 };
                if (poll(&P, 1, 10000) != 1 || FStop)
                    return;
                int Client = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
                if (Client < 0)
                    return;
                Serve(Client);
                ::close(Client);
            }
        });
    }
    ~THTTPSServer()
    {
        FStop = true;
        ::shutdown(FListen, SHUT_RDWR);
        FThread.join();
        ::close(FListen);
        SSL_CTX_free(FContext);
    }
    THTTPSServer(const THTTPSServer&) = delete;
    THTTPSServer& operator=(const THTTPSServer&) = delete;

    int Port() const { return FPort; }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FRequests;
    }
    int Handshakes() const { return FHandshakes; }

private:
    void Serve(int AClient)
    {
        timeval Limit { 5, 0 };
        setsockopt(AClient, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
        setsockopt(AClient, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
        SSL* Session = SSL_new(FContext);
        SSL_set_fd(Session, AClient);
        if (SSL_accept(Session) == 1) {
            ++FHandshakes;
            for (;;) {
                std::string Head = ReadHead([&](char& C) { return SSL_read(Session, &C, 1) == 1; });
                if (Head.empty())
                    break;
                {
                    std::lock_guard<std::mutex> Guard(FLock);
                    FRequests.push_back(Head);
                }
                SSL_write(Session, FResponse.data(), static_cast<int>(FResponse.size()));
            }
            SSL_shutdown(Session);
        }
        SSL_free(Session);
        ERR_clear_error();
    }

    std::string FResponse;
    SSL_CTX* FContext = nullptr;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop { false };
    std::atomic<int> FHandshakes { 0 };
    std::mutex FLock;
    std::vector<std::string> FRequests;
    std::thread FThread;
};

} // namespace httptest
