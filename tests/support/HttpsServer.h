// A small HTTPS server on 127.0.0.1 built on the TLS library linked into the test program,
// which records each request head and answers it with a fixed response.
#pragma once

#include "support/Certificates.h"
#include "support/ScriptedServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

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
    // ASetUp may change the context before the first connection (versions, client
    // certificates, protocols).
    THTTPSServer(const TTestCertificate& ACertificate, std::string AResponse, int AConnections = 1,
        const std::function<void(SSL_CTX*)>& ASetUp = {})
        : FContext(ServerContext(ACertificate, ASetUp), SSL_CTX_free)
        , FResponse(std::move(AResponse))
        , FServer([this](nettest::TScriptedServer&, int AFd, int) { Serve(AFd); }, AConnections)
    {
    }

    int Port() const { return FServer.Port(); }
    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FRequests;
    }
    int Handshakes() const { return FHandshakes; }
    // The server name the last client sent (empty for none).
    std::string ServerName()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FServerName;
    }

private:
    // Ready before the server's thread starts, which then only reads it.
    static SSL_CTX* ServerContext(
        const TTestCertificate& ACertificate, const std::function<void(SSL_CTX*)>& ASetUp)
    {
        SSL_CTX* Context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(Context, ACertificate.CertFile.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(Context, ACertificate.KeyFile.c_str(), SSL_FILETYPE_PEM);
        if (ASetUp)
            ASetUp(Context);
        return Context;
    }
    void Serve(int AClient)
    {
        timeval Limit { 5, 0 };
        setsockopt(AClient, SOL_SOCKET, SO_RCVTIMEO, &Limit, sizeof Limit);
        setsockopt(AClient, SOL_SOCKET, SO_SNDTIMEO, &Limit, sizeof Limit);
        SSL* Session = SSL_new(FContext.get());
        SSL_set_fd(Session, AClient);
        if (SSL_accept(Session) == 1) {
            ++FHandshakes;
            if (const char* Name = SSL_get_servername(Session, TLSEXT_NAMETYPE_host_name)) {
                std::lock_guard<std::mutex> Guard(FLock);
                FServerName = Name;
            }
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

    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> FContext;
    std::string FResponse;
    std::atomic<int> FHandshakes { 0 };
    std::mutex FLock;
    std::vector<std::string> FRequests;
    std::string FServerName;
    // Last, so its thread ends before the fields above go.
    nettest::TScriptedServer FServer;
};

} // namespace testsupport
