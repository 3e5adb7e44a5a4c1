// Test-side TLS: keys and certificates made when the tests run (written to a temporary folder
// and removed again), a small TLS server thread on 127.0.0.1 built on the library linked into
// the test program, and a plain loopback client socket.
#pragma once

#include "support/TempFolder.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// P-256 keys; a self-signed certificate for "vardex.test", a CA and a leaf it signed, and the
// self-signed certificate's key once more, encrypted with TTestPKI::Password.
class TTestPKI {
public:
    TTestPKI();
    ~TTestPKI();
    TTestPKI(const TTestPKI&) = delete;
    TTestPKI& operator=(const TTestPKI&) = delete;

    static constexpr const char* Password = "vardex-secret";

private:
    testsupport::TTempFolder FFolder { "vardex-tls" };

public:
    std::string Dir;
    std::string SelfCertFile, SelfKeyFile, SelfKeyEncryptedFile;
    std::string CACertFile;
    std::string LeafCertFile, LeafKeyFile;
    X509* SelfCert = nullptr;
    X509* LeafCert = nullptr;
};

// The shared PKI of a test program (made on first use).
TTestPKI& TestPKI();

enum class TServerBehaviour {
    sbEcho, // handshake, then send back everything until the client closes
    sbCloseAtOnce, // accept and close before any TLS byte
    sbEchoOnceAndDrop, // handshake, echo one read, then close the socket without a close notice
    sbHandshakeAndClose, // handshake, then close with a close notice
    sbPlainEcho, // no TLS: send back every byte until the client closes
    sbStartTLS, // a plain line, the plain answer "GO\r\n", then as sbEcho
    sbGarbageAfterHandshake, // handshake, then bytes that are no TLS record; wait for the close
    sbSilentAfterHandshake, // handshake, then read nothing and send nothing until the client closes
};

struct TServerOptions {
    std::string CertFile;
    std::string KeyFile;
    TServerBehaviour Behaviour = TServerBehaviour::sbEcho;
    int MinVersion = 0; // e.g. TLS1_2_VERSION
};

// What the server saw on one connection.
struct TServerRecord {
    bool HandshakeOK = false;
    std::string ServerName; // the name the client sent, empty for none
    std::string Version;
    std::string CipherName;
    std::string CipherDescription;
    int CipherBits = 0;
    std::string Received; // through TLS, or plain for sbPlainEcho
    std::string PlainLine; // sbStartTLS: the plain line before the handshake
};

class TTLSTestServer {
public:
    explicit TTLSTestServer(TServerOptions AOptions);
    ~TTLSTestServer();
    TTLSTestServer(const TTLSTestServer&) = delete;
    TTLSTestServer& operator=(const TTLSTestServer&) = delete;

    int Port() const { return FPort; }
    // Waits (at most ATimeoutMs) until ACount connections have ended; returns their records.
    std::vector<TServerRecord> WaitForRecords(size_t ACount, int ATimeoutMs = 5000);

private:
    void Run();
    void Serve(int AClient);

    TServerOptions FOptions;
    SSL_CTX* FContext = nullptr;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FStop { false };
    std::mutex FLock;
    std::condition_variable FChanged;
    std::vector<TServerRecord> FRecords;
    std::thread FThread;
};

// A TCP socket connected to 127.0.0.1:APort with 5 s send and receive limits, or -1.
int ConnectLoopback(int APort);
// A listening socket on 127.0.0.1 with a free port; APort receives the port.
int ListenLoopback(int& APort);
// Sets 5 s send and receive limits so a broken test fails instead of hanging.
void SetSocketLimits(int ASocket);
