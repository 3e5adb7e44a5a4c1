// TLS over the run-time loaded libraries: the settings, one context (SSL_CTX), one session
// (SSL) on a connected socket, the cipher and certificate views, the library callbacks and
// the errors, and the transport that carries a TCP connection plain or through a session
// (TNetSSLIOHandlerSocket). The transport owns its context and session and hears their events
// through TNetSSLEventSink.
#pragma once

#include "net/stack/NetException.h"
#include "net/tcp/NetIOHandlerSocket.h"
#include "net/tcp/NetTCPConnection.h"
#include "net/tls/NetSSLOpenSSLHeaders.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

// Error texts (English message resources).
inline constexpr const char* RSOSSLCouldNotLoadSSLLibrary = "Could not load SSL library.";
inline constexpr const char* RSOSSLModeNotSet = "Mode has not been set.";
inline constexpr const char* RSOSSLGetMethodError = "Error geting SSL method.";
inline constexpr const char* RSOSSLCreatingContextError = "Error creating SSL context.";
inline constexpr const char* RSOSSLLoadingRootCertError = "Could not load root certificate.";
inline constexpr const char* RSOSSLLoadingCertError = "Could not load certificate.";
inline constexpr const char* RSOSSLLoadingKeyError = "Could not load key, check password.";
inline constexpr const char* RSOSSLSettingCipherError = "SetCipher failed.";
inline constexpr const char* RSOSSLDataBindingError = "Error binding data to SSL socket.";
inline constexpr const char* RSOSSLConnectError = "Error connecting with SSL.";
inline constexpr const char* RSOSSLAcceptError = "Error accepting connection with SSL.";
inline constexpr const char* RSOSSLClientCertificateRequired
    = "The server requires a client certificate, and none is configured.";
inline constexpr const char* RSOSSLHTTP2Only
    = "The server speaks HTTP/2 only: it refused HTTP/1.1 in the handshake.";
// %s: the version the server chose ("TLS 1.0").
inline constexpr const char* RSOSSLVersionRefused
    = "The server speaks only %s, a protocol version the TLS library refuses as unsafe.";

// The chain length a verifying client accepts (the library's own default): intermediate
// certificates between the server's and the trusted one.
inline constexpr int32_t SSLDefaultVerifyDepth = 100;

// The cipher list used when none is given.
inline constexpr const char* SSLDefaultCipherList = "ALL:!ADH:RC4+RSA:+HIGH:+MEDIUM:+LOW:+SSLv2:+EXP";

VARDEX_NET_EXCEPTION(ENetOpenSSLError, ENetException);
VARDEX_NET_EXCEPTION(ENetOpenSSLLoadError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLCouldNotLoadSSLLibrary, ENetOpenSSLLoadError);
VARDEX_NET_EXCEPTION(ENetOSSLLoadingRootCertError, ENetOpenSSLLoadError);
VARDEX_NET_EXCEPTION(ENetOSSLLoadingCertError, ENetOpenSSLLoadError);
VARDEX_NET_EXCEPTION(ENetOSSLLoadingKeyError, ENetOpenSSLLoadError);
VARDEX_NET_EXCEPTION(ENetOSSLModeNotSet, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLGetMethodError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLCreatingContextError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLSettingCipherError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLDataBindingError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLConnectError, ENetOpenSSLError);
VARDEX_NET_EXCEPTION(ENetOSSLAcceptError, ENetOpenSSLError);

// sslvSSLv2 and sslvSSLv23 both negotiate the best version the two sides share; sslvSSLv3 and
// sslvTLSv1 pin the session to that one version.
enum class TNetSSLVersion { sslvSSLv2, sslvSSLv23, sslvSSLv3, sslvTLSv1 };
enum class TNetSSLMode { sslmUnassigned, sslmClient, sslmServer, sslmBoth };
enum class TNetSSLVerifyMode { sslvrfPeer, sslvrfFailIfNoPeerCert, sslvrfClientOnce };
enum class TContextRole { crClient, crServer };

// A set of verify modes. Bit n stands for the n-th mode, which is also the library's value
// of that verify flag, so the bits go to the library as they are.
class TNetSSLVerifyModeSet {
public:
    TNetSSLVerifyModeSet() = default;
    TNetSSLVerifyModeSet(std::initializer_list<TNetSSLVerifyMode> AModes)
    {
        for (TNetSSLVerifyMode Mode : AModes)
            Include(Mode);
    }
    void Include(TNetSSLVerifyMode AMode) { FBits |= Bit(AMode); }
    void Exclude(TNetSSLVerifyMode AMode) { FBits &= ~Bit(AMode); }
    bool Contains(TNetSSLVerifyMode AMode) const { return (FBits & Bit(AMode)) != 0; }
    bool Empty() const { return FBits == 0; }
    int Mask() const { return static_cast<int>(FBits); }
    bool operator==(const TNetSSLVerifyModeSet&) const = default;

private:
    static uint32_t Bit(TNetSSLVerifyMode AMode) { return 1u << static_cast<uint32_t>(AMode); }
    uint32_t FBits = 0;
};

// The settings of a transport's TLS side. Everything starts zero or empty.
class TNetSSLOptions {
public:
    void Assign(const TNetSSLOptions& ASource) { *this = ASource; }

    std::string RootCertFile;
    std::string CertFile;
    std::string KeyFile;
    TNetSSLVersion Method = TNetSSLVersion::sslvSSLv2;
    TNetSSLMode Mode = TNetSSLMode::sslmUnassigned;
    int32_t VerifyDepth = 0;
    TNetSSLVerifyModeSet VerifyMode;
    std::string VerifyDirs; // kept with the others, not used
    std::string CipherList;
};

class TNetX509;

// What owns a context or a session (a transport, a server factory) and hears from it.
// The callbacks call these on whatever thread drives the session, under their locks.
class TNetSSLEventSink {
public:
    virtual ~TNetSSLEventSink() = default;
    virtual void FireStatusInfo(const std::string& AMsg) = 0;
    virtual void FireGetPassword(std::string& APassword) = 0;
    // True accepts the certificate (as far as the application is concerned).
    virtual bool FireVerifyPeer(TNetX509& ACertificate) = 0;
};

// One library context (SSL_CTX) with the settings it was made from. The first context made in
// the process starts the library; a context that cannot do so raises "Could not load SSL
// library.".
class TNetSSLContext {
public:
    TNetSSLContext();
    ~TNetSSLContext();
    TNetSSLContext(const TNetSSLContext&) = delete;
    TNetSSLContext& operator=(const TNetSSLContext&) = delete;

    // Copies the nine settings.
    void AssignOptions(const TNetSSLOptions& AOptions);
    // Makes the library context for ARole from the settings (freeing an earlier one).
    void Setup(TContextRole ARole);
    // The library method for Method and Mode.
    const SSL_METHOD* SelectMethod();
    // The protocol version Method pins the session to (lower and upper bound alike), 0 for none.
    int PinnedVersion() const;
    void ApplyVerify();

    // The number of contexts made in the process; 0 until the library has been started.
    static int32_t LibraryUsers();
    // How often the library has been started in this process (once, unless a start failed).
    static int32_t LibraryStarts();

    TNetSSLVersion Method = TNetSSLVersion::sslvSSLv2;
    TNetSSLMode Mode = TNetSSLMode::sslmUnassigned;
    std::string RootCertFile;
    std::string CertFile;
    std::string KeyFile;
    int32_t VerifyDepth = 0;
    TNetSSLVerifyModeSet VerifyMode;
    std::string VerifyDirs;
    std::string CipherList;
    SSL_CTX* CtxHandle = nullptr;
    bool StatusInfoOn = false;
    bool VerifyOn = false;
    uint32_t SessionIdContext = 1;
    TNetSSLEventSink* Owner = nullptr;
};

class TNetSSLSocket;

// When the certificates a server showed in a handshake stop being valid, as Unix seconds
// (UTC); 0 where it is not known (no handshake, or a library without the calls that read it).
struct TNetPeerCertificateExpiry {
    // The server's own certificate.
    int64_t Leaf = 0;
    // The earliest of the chain the verification built from it (the leaf included), which is
    // when the server stops passing verification; the leaf alone where no chain was built.
    int64_t Earliest = 0;
};

// The cipher of a session, read from the library on every access.
class TNetSSLCipher {
public:
    explicit TNetSSLCipher(TNetSSLSocket* ASocket)
        : FSocket(ASocket)
    {
    }
    std::string CipherName() const;
    // The library's one-line description, as it gives it (padded columns, ending in a newline).
    std::string CipherDescription() const;
    // The algorithm's bit count.
    int32_t CipherBits() const;
    std::string CipherVersion() const;

private:
    const SSL_CIPHER* Current() const;
    TNetSSLSocket* FSocket;
};

// One session on a connected socket. The socket stays the caller's: freeing the session shuts
// TLS down on it (a close notice is written to it) but does not close it, so free the session
// before closing the socket.
class TNetSSLSocket {
public:
    explicit TNetSSLSocket(TNetSSLEventSink* AOwner = nullptr)
        : Owner(AOwner)
    {
    }
    ~TNetSSLSocket();
    TNetSSLSocket(const TNetSSLSocket&) = delete;
    TNetSSLSocket& operator=(const TNetSSLSocket&) = delete;

    // Client handshake on ASocket. AHostName, when it is a name and not a dotted IPv4 address,
    // is sent to the server (server name indication), which many servers need to pick the
    // site and its certificate. When the context verifies the peer (sslvrfPeer), the
    // certificate must also be issued for AHostName (its name, or its address for a dotted
    // IPv4 address). Raises ENetOSSLConnectError when the handshake fails, and when it has not
    // ended within ATimeout ms (0 or less: no limit); the message is "Error connecting with
    // SSL." followed by what failed (the verify result, the library's reason, the time-out).
    // When the library cannot make a session it returns without one; reads and writes then
    // fail.
    void Handshake(
        int ASocket, TNetSSLContext* AContext, const std::string& AHostName = {}, int32_t ATimeout = 0);
    // Server handshake on an accepted socket; raises ENetOSSLAcceptError when it fails.
    void AcceptHandshake(int ASocket, TNetSSLContext* AContext);

    // Like a socket's receive and send: > 0 bytes, 0 when the peer has ended the session (with
    // or without a close notice; reads only), -1 on error with errno telling what (ENOTCONN
    // without a session, ECONNABORTED for a protocol failure, EPIPE or ESHUTDOWN for a write
    // into a session the peer has ended).
    int ReadTLS(void* ABuffer, int ALength);
    int WriteTLS(const void* ABuffer, int ALength);
    // Decrypted bytes held in the session that the socket no longer shows as readable.
    int Pending() const;
    // Lets the session take in what the socket holds, without waiting for more. True when the
    // next read has something to give at once: application data, the end of the session or an
    // error; false when the socket held only records of the protocol itself (the server's
    // session tickets, say) or part of a record. Call it when the socket is readable.
    bool InputReady();

    // "Cipher: name = ...; description = ...; bits = ...; version = ...; "
    std::string StatusText();
    // Read from the session at the end of a successful client handshake.
    const TNetPeerCertificateExpiry& PeerExpiry() const { return FPeerExpiry; }
    // The session's cipher; nullptr while there is no session.
    TNetSSLCipher* Cipher();
    // After a read or write that gave AResult (<= 0): when the server asked for a client
    // certificate in the handshake (none is sent) and then ended or broke the session before
    // its first byte of data, "Error connecting with SSL." and the text that says so; empty
    // otherwise. A server checks the certificate only after the client's side of the
    // handshake is over, so its refusal comes on the first read or write.
    std::string CertificateRefusal(int AResult) const;

    TNetSSLEventSink* Owner = nullptr;
    TNetSSLContext* Context = nullptr;
    SSL* SslHandle = nullptr;

private:
    // Shared by both handshakes: SSL_new, binding, the descriptor. False without a session.
    bool Attach(int ASocket, TNetSSLContext* AContext);
    void FreeSession();
    // One read or write (ACall) with the retry and the mapping of its result.
    template <class TCall> int Transfer(int ALength, bool AWriting, TCall ACall);
    // SSL_connect on the socket made non-blocking for it, every wait for the server bounded by
    // what is left of ATimeout ms; the socket is blocking again afterwards. SSL_connect's
    // result, or 0 when the time ran out.
    int TimedConnect(int ASocket, int32_t ATimeout, bool& ATimedOut);
    // Makes the verification check the certificate against AHostName, a name or an address.
    void ExpectPeerName(const std::string& AHostName);
    // What made SSL_connect fail, in words: the verify result, the library's reason, the
    // system error or the time-out.
    std::string ConnectFailure(int AResult, int ASavedErrno, bool ATimedOut, bool AVerifying) const;

    void ReadPeerExpiry();

    std::unique_ptr<TNetSSLCipher> FCipher;
    TNetPeerCertificateExpiry FPeerExpiry;
    // The socket of the session, -1 without one.
    int FSocket = -1;
    // The errno of the failure that ended the session, 0 while it stands. The library reports
    // a session it has failed as merely ended when asked again, so the failure is kept here.
    int FFailedErrno = 0;
    // Set by the library's certificate callback, which it calls when a server asks for one.
    bool FClientCertificateAsked = false;
    // A byte of data has come from the server.
    bool FDataRead = false;
};

// A certificate handed to the verify callback; it is the library's and lives only as long as
// the callback runs.
class TNetX509 {
public:
    explicit TNetX509(X509* AHandle)
        : FHandle(AHandle)
    {
    }
    X509* Handle() const { return FHandle; }
    // Names in the library's one-line form, e.g. "/C=US/O=Example/CN=www.example.com".
    std::string SubjectOneLine() const;
    std::string IssuerOneLine() const;
    // Validity bounds as the certificate writes them: "YYMMDDHHMMSSZ" or "YYYYMMDDHHMMSSZ", UTC.
    std::string NotBeforeText() const;
    std::string NotAfterText() const;
    // MD5 fingerprint as colon-separated upper-case hex; empty where the library lacks it.
    std::string FingerprintAsString() const;

private:
    X509* FHandle;
};

// The library's callbacks. Each runs under its own lock for its whole run.
extern std::mutex InfoCallbackLock;
extern std::mutex PasswordCallbackLock;
extern std::mutex VerifyCallbackLock;
extern "C" {
void TLSInfoCallback(const SSL* ASession, int AWhere, int ARet);
int TLSPasswordCallback(char* ABuffer, int ASize, int ARWFlag, void* AUserData);
int TLSVerifyCallback(int AOk, X509_STORE_CTX* AStoreContext);
}

using TCallbackEvent = std::function<void(const std::string& Msg)>;
using TPasswordEvent = std::function<void(std::string& Password)>;
// True accepts the certificate (as far as the application is concerned).
using TVerifyPeerEvent = std::function<bool(TNetX509& Certificate)>;

class TNetServerIOHandlerSSL;

// The socket transport with TLS: right after the TCP connect it runs a client handshake and
// then carries every read and write through the session, unless BypassTLS sends them to the
// plain socket. One object serves plain and TLS connections alike, one after the other.
//
// Reads and writes keep the socket transport's contract: > 0 bytes, 0 when the peer has ended
// the session (with or without a close notice), -1 on error with the stack's last socket error
// telling which (a protocol failure reads as 10053, a write after the peer has gone as 10058
// or 10054), so the connection above judges them as it judges a socket's.
class TNetSSLIOHandlerSocket : public TNetIOHandlerSocket, public TNetSSLEventSink {
public:
    // A client transport (not ServerSide) with settings of its own, all at their defaults.
    explicit TNetSSLIOHandlerSocket(TComponent* AOwner = nullptr);
    // Frees the session (with its shutdown) and, unless ServerSide, the context and settings;
    // then the socket is closed.
    ~TNetSSLIOHandlerSocket() override;

    // Server side: the TLS accept on the accepted socket; on failure the link is closed and
    // the error raised ("Error accepting connection with SSL.").
    void AcceptDone() override;
    // Frees the session (a close notice goes out), the context unless ServerSide, then closes
    // the socket.
    void CloseLink() override;
    // The plain connect, OnBeforeHandshake, then, unless BypassTLS, a new context and the
    // handshake with AHost as the server name when it is a name. A library that cannot be
    // loaded fails the connect ("Could not load SSL library.") unless BypassTLS, which needs
    // neither the library nor a context.
    void ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP, int32_t ABoundPort,
        int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout) override;
    // Lets go of a session and context left from a link that was never closed, then the plain
    // preparation.
    void PrepareLink() override;
    // Under TLS, true when the session has data, its end or an error for the next read: bytes
    // it holds count although the socket no longer shows them, and records of the protocol
    // alone (session tickets) do not end the wait, which keeps to ATimeout.
    bool CanRead(int32_t ATimeout) override;
    // The plain socket operations when BypassTLS, otherwise ReadSomeTLS / WriteSomeTLS. Raise
    // ENetClosedSocket ("Disconnected.") when the link is not open.
    int32_t ReadSome(void* ABuffer, int32_t ALength) override;
    int32_t WriteSome(const void* ABuffer, int32_t ALength) override;
    // The plain look when BypassTLS; under TLS always NetNothingToRead: what the socket holds
    // says nothing about what a session read gives, so the wait of CanRead comes first.
    int32_t TryReadSome(void* ABuffer, int32_t ALength) override;
    // The plain send when BypassTLS; under TLS always NetNoRoomToWrite: a record is written
    // whole by WriteSomeTLS, after the wait of CanWrite.
    int32_t TryWriteSome(const void* ABuffer, int32_t ALength) override;

    virtual void FireBeforeHandshake();
    void FireStatusInfo(const std::string& AMsg) override;
    void FireGetPassword(std::string& APassword) override;
    // True when OnVerifyPeer is unassigned.
    bool FireVerifyPeer(TNetX509& ACertificate) override;
    // Through the session; without one, -1 with 10057 (not connected).
    virtual int32_t ReadSomeTLS(void* ABuffer, int32_t ALength);
    virtual int32_t WriteSomeTLS(const void* ABuffer, int32_t ALength);
    // The client handshake on the open socket; nothing when a session exists already. Raises
    // ENetOSSLConnectError ("Error connecting with SSL.") when the handshake fails.
    virtual void StartTLS();
    // A new context from SSLOptions in the client role (raises the context's errors).
    void BuildContext();

    bool BypassTLS() const { return FBypassTLS; }
    // Setting False on an open link upgrades it in place: the context is built then (a plain
    // connect builds none) and StartTLS runs; without the library that raises "Could not load
    // SSL library." and the link stays plain. Otherwise the value is only stored.
    void SetBypassTLS(bool AValue);

    TNetSSLContext* Context() const { return FContext; }
    TNetSSLOptions* SSLOptions() const { return FSSLOptions; }
    TNetSSLSocket* SSLSocket() const { return FSSLSocket.get(); }
    bool ServerSide() const { return FServerSide; }
    // The certificate expiry of the last client handshake of the last connect; kept after the
    // link closes, cleared by the next connect.
    const TNetPeerCertificateExpiry& PeerExpiry() const { return FPeerExpiry; }

    TCallbackEvent OnStatusInfo;
    TPasswordEvent OnGetPassword;
    TVerifyPeerEvent OnVerifyPeer;
    // After the TCP connect, before the context is built.
    TNetNotifyEvent OnBeforeHandshake;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    friend class TNetServerIOHandlerSSL;

    void FreeContext();

    // What a client-side transport owns; a server-side one owns neither and refers to its
    // factory's settings and context.
    std::unique_ptr<TNetSSLOptions> FOwnOptions;
    std::unique_ptr<TNetSSLContext> FOwnContext;
    // The settings and context in use: this transport's own, or the factory's.
    TNetSSLOptions* FSSLOptions = nullptr;
    TNetSSLContext* FContext = nullptr;
    std::unique_ptr<TNetSSLSocket> FSSLSocket;
    TNetPeerCertificateExpiry FPeerExpiry;
    bool FServerSide = false;
    bool FBypassTLS = false;
    // The target host of the last connect, the server name of its handshake.
    std::string FHost;
    // The time-out of the last connect, which also bounds its handshake (and that of an
    // upgrade in place): a server that takes the connection and never answers it must not
    // hold the caller for ever. 0 or less: no limit.
    int32_t FHandshakeTimeout = 0;
    // The factory of a ServerSide transport, which owns the shared context and settings.
    TNetServerIOHandlerSSL* FServer = nullptr;
};

// The server side: one context in the server role, built from SSLOptions, shared by the
// ServerSide transports it hands out for accepted connections. The transports forget the
// context and settings when the factory goes before them.
class TNetServerIOHandlerSSL : public TNetComponent, public TNetSSLEventSink {
public:
    explicit TNetServerIOHandlerSSL(TComponent* AOwner = nullptr);
    ~TNetServerIOHandlerSSL() override;

    // Builds the shared context (raises the context's errors). Accept calls it when needed.
    void Init();
    // Accepts the next connection of AListeningSocket into a new ServerSide transport owned by
    // AOwner and runs the TLS accept on it. nullptr when the accept was interrupted; raises
    // ENetOSSLAcceptError when the handshake fails (the transport is freed).
    TNetSSLIOHandlerSocket* Accept(int AListeningSocket, TComponent* AOwner = nullptr);

    void FireStatusInfo(const std::string& AMsg) override;
    void FireGetPassword(std::string& APassword) override;
    bool FireVerifyPeer(TNetX509& ACertificate) override;

    TNetSSLContext* Context() const { return FContext.get(); }
    TNetSSLOptions* SSLOptions() { return &FSSLOptions; }

    TCallbackEvent OnStatusInfo;
    TPasswordEvent OnGetPassword;
    TVerifyPeerEvent OnVerifyPeer;

private:
    TNetSSLOptions FSSLOptions;
    std::unique_ptr<TNetSSLContext> FContext;
};
