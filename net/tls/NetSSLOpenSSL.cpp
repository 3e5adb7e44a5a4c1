#include "net/tls/NetSSLOpenSSL.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetStack.h"
#include "net/stack/NetStackLinux.h"
#include "net/stack/NetStrings.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>

#include <pthread.h>

// Plain mutexes: nothing to create at library start and nothing to free at the end, so they
// can never be missing while a callback runs.
std::mutex InfoCallbackLock;
std::mutex PasswordCallbackLock;
std::mutex VerifyCallbackLock;

namespace {

// The libraries are let go when the program ends. Objects still holding a context or a
// session after that find them unloaded and skip their clean-up calls.
struct TNetSSLFinalizer {
    ~TNetSSLFinalizer() { UnloadLibraries(); }
} GFinalizer;

std::mutex GStartLock;
std::atomic<int32_t> GLibraryUsers { 0 };
std::atomic<int32_t> GLibraryStarts { 0 };

// The session index where each session keeps its TNetSSLSocket.
constexpr int SSLSocketDataIndex = 0;

bool InitTLSLibrary()
{
    if (!LoadLibraries())
        return false;
    if (NetRAND_screen != nullptr)
        NetRAND_screen();
    // Current libraries start themselves through one entry point; the two old ones are used
    // where they still exist.
    if (NetSSL_load_error_strings != nullptr)
        NetSSL_load_error_strings();
    else
        NetOPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    const int R = NetSSL_library_init != nullptr ? NetSSL_library_init() : NetOPENSSL_init_ssl(0, nullptr);
    if (R <= 0)
        return false;
    ++GLibraryStarts;
    return true;
}

// The library writes to the socket with write(), which raises SIGPIPE when the peer has gone
// and would end the program. For the duration of one call the signal is blocked in this thread
// and, if the call raised it, taken off again; errno survives.
class TNetSigPipeGuard {
public:
    TNetSigPipeGuard()
    {
        sigset_t Pending;
        sigemptyset(&Pending);
        sigpending(&Pending);
        FWasPending = sigismember(&Pending, SIGPIPE) == 1;
        sigset_t Block;
        sigemptyset(&Block);
        sigaddset(&Block, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &Block, &FOldMask);
    }
    ~TNetSigPipeGuard()
    {
        const int SavedErrno = errno;
        if (!FWasPending) {
            sigset_t Pending;
            sigemptyset(&Pending);
            sigpending(&Pending);
            if (sigismember(&Pending, SIGPIPE) == 1) {
                sigset_t Wanted;
                sigemptyset(&Wanted);
                sigaddset(&Wanted, SIGPIPE);
                const timespec Zero { 0, 0 };
                while (sigtimedwait(&Wanted, nullptr, &Zero) < 0 && errno == EINTR) { }
            }
        }
        pthread_sigmask(SIG_SETMASK, &FOldMask, nullptr);
        errno = SavedErrno;
    }
    TNetSigPipeGuard(const TNetSigPipeGuard&) = delete;
    TNetSigPipeGuard& operator=(const TNetSigPipeGuard&) = delete;

private:
    sigset_t FOldMask;
    bool FWasPending = false;
};

// True for the results after which the session cannot go on.
bool FatalFailure(int AError, int ASavedErrno)
{
    return AError == SSL_ERROR_SSL || (AError == SSL_ERROR_SYSCALL && ASavedErrno != 0);
}

// After a failed read or write, errno is what the caller judges the error by. The library
// leaves it alone except for failed system calls, so it is set here for the other cases.
void SetErrnoForFailure(int AError, int ASavedErrno)
{
    switch (AError) {
    case SSL_ERROR_SYSCALL:
        errno = ASavedErrno != 0 ? ASavedErrno : ECONNRESET;
        break;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        errno = EWOULDBLOCK;
        break;
    default:
        // A protocol failure: the session cannot go on.
        errno = ECONNABORTED;
        break;
    }
}

// Whether one of the folders of APaths (separated by ":") holds certificates under the names
// the library looks them up by: the subject's hash, a dot and a digit ("5ad8a5d6.0").
bool HasHashedCertificates(const std::string& APaths)
{
    for (std::string Rest = APaths; !Rest.empty();) {
        const std::string Dir = Fetch(Rest, ":");
        DIR* Folder = Dir.empty() ? nullptr : ::opendir(Dir.c_str());
        if (Folder == nullptr)
            continue;
        bool Found = false;
        while (const dirent* Entry = ::readdir(Folder)) {
            const std::string_view Name(Entry->d_name);
            if (Name.size() >= 10 && Name[8] == '.' && Name.find_first_not_of("0123456789abcdef") == 8
                && Name.find_first_not_of("0123456789", 9) == std::string_view::npos) {
                Found = true;
                break;
            }
        }
        ::closedir(Folder);
        if (Found)
            return true;
    }
    return false;
}

// The system's trusted certificates in the library's default places, as
// SSL_CTX_set_default_verify_paths finds them (SSL_CERT_FILE and SSL_CERT_DIR move them), but
// read only as far as needed: the folder of hashed certificates is looked into for the issuers
// a verification meets, while the default bundle file, which holds the same certificates and
// takes longer to read than a whole check of a small page, is read only when no such folder
// exists. A file named by SSL_CERT_FILE is always read.
void LoadTrustedCertificates(SSL_CTX* AContext)
{
    const char* FileVariable = NetX509_get_default_cert_file_env();
    const char* DirVariable = NetX509_get_default_cert_dir_env();
    const char* NamedFile = FileVariable != nullptr ? std::getenv(FileVariable) : nullptr;
    const char* NamedDirs = DirVariable != nullptr ? std::getenv(DirVariable) : nullptr;
    const char* DefaultDir = NetX509_get_default_cert_dir();
    const std::string Dirs = NamedDirs != nullptr ? NamedDirs : DefaultDir != nullptr ? DefaultDir : "";
    // A place that cannot be read only leaves its certificates untrusted, as with the library's
    // own call; the verification says so.
    if (!Dirs.empty())
        NetSSL_CTX_load_verify_locations(AContext, nullptr, Dirs.c_str());
    if (NamedFile != nullptr && *NamedFile != 0)
        NetSSL_CTX_load_verify_locations(AContext, NamedFile, nullptr);
    else if (const char* DefaultFile = NetX509_get_default_cert_file();
             DefaultFile != nullptr && !HasHashedCertificates(Dirs))
        NetSSL_CTX_load_verify_locations(AContext, DefaultFile, nullptr);
    NetERR_clear_error();
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TNetSSLContext

TNetSSLContext::TNetSSLContext()
{
    std::lock_guard<std::mutex> Lock(GStartLock);
    // Started once per process; again only if the libraries were let go in between.
    if ((GLibraryUsers < 1 || !SSLLibrariesLoaded()) && !InitTLSLibrary())
        throw ENetOSSLCouldNotLoadSSLLibrary(RSOSSLCouldNotLoadSSLLibrary);
    ++GLibraryUsers;
}

TNetSSLContext::~TNetSSLContext()
{
    if (CtxHandle != nullptr && SSLLibrariesLoaded())
        NetSSL_CTX_free(CtxHandle);
    CtxHandle = nullptr;
}

int32_t TNetSSLContext::LibraryUsers()
{
    return GLibraryUsers;
}

int32_t TNetSSLContext::LibraryStarts()
{
    return GLibraryStarts;
}

void TNetSSLContext::AssignOptions(const TNetSSLOptions& AOptions)
{
    RootCertFile = AOptions.RootCertFile;
    CertFile = AOptions.CertFile;
    KeyFile = AOptions.KeyFile;
    VerifyDepth = AOptions.VerifyDepth;
    VerifyMode = AOptions.VerifyMode;
    VerifyDirs = AOptions.VerifyDirs;
    CipherList = AOptions.CipherList;
    Method = AOptions.Method;
    Mode = AOptions.Mode;
}

const SSL_METHOD* TNetSSLContext::SelectMethod()
{
    if (Mode == TNetSSLMode::sslmUnassigned)
        throw ENetOSSLModeNotSet(RSOSSLModeNotSet);
    switch (Method) {
    case TNetSSLVersion::sslvSSLv2:
    case TNetSSLVersion::sslvSSLv23:
    case TNetSSLVersion::sslvSSLv3:
    case TNetSSLVersion::sslvTLSv1:
        // Current libraries have one method per role that speaks every version they support;
        // a single version is had by bounding it (PinnedVersion).
        switch (Mode) {
        case TNetSSLMode::sslmClient:
            return NetTLS_client_method();
        case TNetSSLMode::sslmServer:
            return NetTLS_server_method();
        case TNetSSLMode::sslmBoth:
            return NetTLS_method();
        default:
            break;
        }
        break;
    }
    throw ENetOSSLGetMethodError(RSOSSLGetMethodError);
}

int TNetSSLContext::PinnedVersion() const
{
    switch (Method) {
    case TNetSSLVersion::sslvSSLv3:
        return SSL3_VERSION;
    case TNetSSLVersion::sslvTLSv1:
        return TLS1_VERSION;
    default:
        return 0;
    }
}

void TNetSSLContext::ApplyVerify()
{
    NetSSL_CTX_set_verify(CtxHandle, VerifyMode.Mask(), VerifyOn ? TLSVerifyCallback : nullptr);
    NetSSL_CTX_set_verify_depth(CtxHandle, VerifyDepth);
}

void TNetSSLContext::Setup(TContextRole ARole)
{
    if (!SSLLibrariesLoaded())
        throw ENetOSSLCouldNotLoadSSLLibrary(RSOSSLCouldNotLoadSSLLibrary);
    if (CtxHandle != nullptr) {
        NetSSL_CTX_free(CtxHandle);
        CtxHandle = nullptr;
    }
    if (Mode == TNetSSLMode::sslmUnassigned)
        Mode = ARole == TContextRole::crServer ? TNetSSLMode::sslmServer : TNetSSLMode::sslmClient;

    // Errors the library queues on this thread are dropped once their call has been judged,
    // so that a later call is not judged by them.
    struct TClearErrors {
        ~TClearErrors() { NetERR_clear_error(); }
    } ClearErrors;

    CtxHandle = NetSSL_CTX_new(SelectMethod());
    if (CtxHandle == nullptr)
        throw ENetOSSLCreatingContextError(RSOSSLCreatingContextError);
    if (const int Version = PinnedVersion(); Version != 0) {
        const bool Bounded = NetSSL_CTX_ctrl(CtxHandle, SSL_CTRL_SET_MIN_PROTO_VERSION, Version, nullptr) > 0
            && NetSSL_CTX_ctrl(CtxHandle, SSL_CTRL_SET_MAX_PROTO_VERSION, Version, nullptr) > 0;
        // A library that does not know the version at all must not fall back to the others:
        // with every version switched off the handshake fails.
        if (!Bounded && NetSSL_CTX_set_options != nullptr)
            NetSSL_CTX_set_options(CtxHandle, SSL_OP_NO_SSL_MASK);
    }
    // Current libraries report a peer that closes without a close notice as an error; the
    // connection above expects such a close to read as the end of the data, as it always did.
    if (NetSSL_CTX_set_options != nullptr)
        NetSSL_CTX_set_options(CtxHandle, SSL_OP_IGNORE_UNEXPECTED_EOF);

    NetSSL_CTX_set_default_passwd_cb(CtxHandle, TLSPasswordCallback);
    NetSSL_CTX_set_default_passwd_cb_userdata(CtxHandle, this);
    // The system's trusted certificates serve only a verification: without a verify mode
    // nothing is verified, and nothing of them is read.
    if (!VerifyMode.Empty())
        LoadTrustedCertificates(CtxHandle);

    if (!RootCertFile.empty()
        && NetSSL_CTX_load_verify_locations(CtxHandle, RootCertFile.c_str(), nullptr) <= 0)
        throw ENetOSSLLoadingRootCertError(RSOSSLLoadingRootCertError);
    if (!CertFile.empty()
        && NetSSL_CTX_use_certificate_file(CtxHandle, CertFile.c_str(), SSL_FILETYPE_PEM) <= 0)
        throw ENetOSSLLoadingCertError(RSOSSLLoadingCertError);
    if (!KeyFile.empty()
        && (NetSSL_CTX_use_PrivateKey_file(CtxHandle, KeyFile.c_str(), SSL_FILETYPE_PEM) <= 0
            || NetSSL_CTX_check_private_key(CtxHandle) <= 0))
        throw ENetOSSLLoadingKeyError(RSOSSLLoadingKeyError);

    if (StatusInfoOn)
        NetSSL_CTX_set_info_callback(CtxHandle, TLSInfoCallback);

    const std::string Ciphers = CipherList.empty() ? std::string(SSLDefaultCipherList) : CipherList;
    if (NetSSL_CTX_set_cipher_list(CtxHandle, Ciphers.c_str()) <= 0)
        throw ENetOSSLSettingCipherError(RSOSSLSettingCipherError);

    if (!VerifyMode.Empty())
        ApplyVerify();

    if (ARole == TContextRole::crServer) {
        unsigned char Id[sizeof SessionIdContext];
        std::memcpy(Id, &SessionIdContext, sizeof Id);
        NetSSL_CTX_set_session_id_context(CtxHandle, Id, sizeof Id);
    }

    if (!RootCertFile.empty())
        NetSSL_CTX_set_client_CA_list(CtxHandle, NetSSL_load_client_CA_file(RootCertFile.c_str()));
}

// ---------------------------------------------------------------------------------------------
// TNetSSLCipher

const SSL_CIPHER* TNetSSLCipher::Current() const
{
    if (FSocket == nullptr || FSocket->SslHandle == nullptr || !SSLLibrariesLoaded())
        return nullptr;
    return NetSSL_get_current_cipher(FSocket->SslHandle);
}

std::string TNetSSLCipher::CipherName() const
{
    const SSL_CIPHER* Cipher = Current();
    const char* Name = Cipher != nullptr ? NetSSL_CIPHER_get_name(Cipher) : nullptr;
    return Name != nullptr ? Name : "";
}

std::string TNetSSLCipher::CipherDescription() const
{
    const SSL_CIPHER* Cipher = Current();
    if (Cipher == nullptr)
        return {};
    char Buffer[1024] = {};
    const char* Text = NetSSL_CIPHER_description(Cipher, Buffer, sizeof Buffer);
    return Text != nullptr ? Text : "";
}

int32_t TNetSSLCipher::CipherBits() const
{
    const SSL_CIPHER* Cipher = Current();
    int AlgorithmBits = 0;
    if (Cipher != nullptr)
        NetSSL_CIPHER_get_bits(Cipher, &AlgorithmBits);
    return AlgorithmBits;
}

std::string TNetSSLCipher::CipherVersion() const
{
    const SSL_CIPHER* Cipher = Current();
    const char* Version = Cipher != nullptr ? NetSSL_CIPHER_get_version(Cipher) : nullptr;
    return Version != nullptr ? Version : "";
}

// ---------------------------------------------------------------------------------------------
// TNetSSLSocket

TNetSSLSocket::~TNetSSLSocket()
{
    FreeSession();
}

void TNetSSLSocket::FreeSession()
{
    FCipher.reset();
    if (SslHandle != nullptr && SSLLibrariesLoaded()) {
        TNetSigPipeGuard Guard;
        // A session that failed has nothing to close: the library refuses the shutdown then.
        if (FFailedErrno == 0)
            NetSSL_shutdown(SslHandle);
        NetERR_clear_error();
        NetSSL_free(SslHandle);
    }
    SslHandle = nullptr;
    FSocket = -1;
    FFailedErrno = 0;
}

bool TNetSSLSocket::Attach(int ASocket, TNetSSLContext* AContext)
{
    FreeSession();
    Context = AContext;
    if (AContext == nullptr || !SSLLibrariesLoaded())
        return false;
    SslHandle = NetSSL_new(AContext->CtxHandle);
    if (SslHandle == nullptr) {
        NetERR_clear_error();
        return false;
    }
    if (NetSSL_set_ex_data(SslHandle, SSLSocketDataIndex, this) < 1) {
        NetERR_clear_error();
        throw ENetOSSLDataBindingError(RSOSSLDataBindingError);
    }
    NetSSL_set_fd(SslHandle, ASocket);
    FSocket = ASocket;
    return true;
}

int TNetSSLSocket::TimedConnect(int ASocket, int32_t ATimeout, bool& ATimedOut)
{
    ATimedOut = false;
    const int Flags = ::fcntl(ASocket, F_GETFL);
    if (Flags == -1 || ::fcntl(ASocket, F_SETFL, Flags | O_NONBLOCK) == -1)
        return NetSSL_connect(SslHandle);
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ATimeout);
    int R;
    for (;;) {
        R = NetSSL_connect(SslHandle);
        if (R == 1)
            break;
        const int Error = NetSSL_get_error(SslHandle, R);
        const short Events = Error == SSL_ERROR_WANT_READ ? POLLIN
            : Error == SSL_ERROR_WANT_WRITE               ? POLLOUT
                                                          : 0;
        if (Events == 0)
            break;
        const auto Left
            = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now())
                  .count();
        // A probe's cancel token ends the handshake as a time-out does.
        const TNetCancelToken* Cancel = CurrentCancelToken();
        pollfd Wait[2] = { { ASocket, Events, 0 }, { Cancel ? Cancel->Fd() : -1, POLLIN, 0 } };
        int Ready;
        do
            Ready = Left > 0 ? ::poll(Wait, Cancel ? 2 : 1, static_cast<int>(Left)) : 0;
        while (Ready < 0 && errno == EINTR);
        if (Ready <= 0 || Wait[1].revents != 0) {
            ATimedOut = true;
            R = 0;
            break;
        }
    }
    ::fcntl(ASocket, F_SETFL, Flags);
    return R;
}

void TNetSSLSocket::ExpectPeerName(const std::string& AHostName)
{
    // The chain alone proves only that somebody got a certificate from a trusted issuer: the
    // name (or address) it was issued for must be the one that was asked for.
    X509_VERIFY_PARAM* Param = NetSSL_get0_param(SslHandle);
    if (Param == nullptr)
        return;
    if (TNetStack::IsDottedQuad(AHostName) || TNetStack::IsIPv6Address(AHostName)) {
        // A certificate names an address without a zone: the zone only says which of our
        // interfaces leads there.
        NetX509_VERIFY_PARAM_set1_ip_asc(Param, AHostName.substr(0, AHostName.find('%')).c_str());
    } else {
        // "*" stands for one whole label only, and only the subjectAltName names a host, as
        // browsers take it: a Common Name is never read as a host name, even in a certificate
        // without a subjectAltName, which no authority has issued for years.
        NetX509_VERIFY_PARAM_set_hostflags(
            Param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
        NetX509_VERIFY_PARAM_set1_host(Param, AHostName.c_str(), AHostName.size());
    }
}

std::string TNetSSLSocket::ConnectFailure(int AResult, int ASavedErrno, bool ATimedOut, bool AVerifying) const
{
    if (ATimedOut)
        return "Handshake timed out";
    // A refused certificate ends the handshake with a generic alert; the verify result says
    // what was wrong with it.
    if (AVerifying) {
        const long Verify = NetSSL_get_verify_result(SslHandle);
        if (Verify != X509_V_OK) {
            const char* Text = NetX509_verify_cert_error_string(Verify);
            return std::string("Certificate verify failed: ") + (Text != nullptr ? Text : IntToStr(Verify));
        }
    }
    // The library's reasons for these three name a symptom (a signature algorithm, an alert)
    // and send the operator the wrong way.
    const unsigned long Last = NetERR_peek_last_error();
    const int Alert = Last != 0 ? ERR_GET_REASON(Last) : 0;
    if (FClientCertificateAsked
        && (Alert == 0 || Alert == SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE
            || Alert == SSL_R_SSLV3_ALERT_BAD_CERTIFICATE
            || Alert == SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED))
        return RSOSSLClientCertificateRequired;
    if (Alert == SSL_R_TLSV1_ALERT_NO_APPLICATION_PROTOCOL)
        return RSOSSLHTTP2Only;
    // Once the server's hello is in, the session's version is the one the server chose; an
    // alert from the server (its reasons start at SSL_AD_REASON_OFFSET) means it chose none.
    const int Version = NetSSL_version != nullptr ? NetSSL_version(SslHandle) : 0;
    if (Version >= SSL3_VERSION && Version < TLS1_2_VERSION && Alert < SSL_AD_REASON_OFFSET) {
        const char* Name = Version == SSL3_VERSION ? "SSL 3.0"
            : Version == TLS1_VERSION              ? "TLS 1.0"
                                                   : "TLS 1.1";
        return FormatStr(RSOSSLVersionRefused, Name);
    }
    if (const unsigned long Code = Last; Code != 0) {
        const char* Text = NetERR_reason_error_string(Code);
        if (Text != nullptr)
            return std::string("Library error: ") + Text;
    }
    if (NetSSL_get_error(SslHandle, AResult) == SSL_ERROR_SYSCALL && ASavedErrno != 0)
        return std::string("Library error: ") + std::strerror(ASavedErrno);
    return "The server ended the connection during the handshake";
}

void TNetSSLSocket::Handshake(
    int ASocket, TNetSSLContext* AContext, const std::string& AHostName, int32_t ATimeout)
{
    if (!Attach(ASocket, AContext))
        return;
    const bool Verifying = AContext->VerifyMode.Contains(TNetSSLVerifyMode::sslvrfPeer);
    // "host.example." is the same host written as an absolute name; certificates and server
    // names never carry that dot, so it is dropped for both.
    std::string Name = AHostName;
    if (Name.size() > 1 && Name.back() == '.')
        Name.pop_back();
    // Only HTTP/1.1 is spoken here; saying so lets a server that speaks nothing else refuse
    // in the handshake, in words, rather than answer in a protocol that cannot be read.
    static constexpr unsigned char HTTP11[] = { 8, 'h', 't', 't', 'p', '/', '1', '.', '1' };
    if (NetSSL_set_alpn_protos != nullptr)
        NetSSL_set_alpn_protos(SslHandle, HTTP11, sizeof HTTP11);
    FClientCertificateAsked = false;
    FDataRead = false;
    if (NetSSL_set_cert_cb != nullptr)
        NetSSL_set_cert_cb(
            SslHandle,
            [](SSL*, void* ASelf) {
                static_cast<TNetSSLSocket*>(ASelf)->FClientCertificateAsked = true;
                return 1;
            },
            this);
    // A server name is sent for names only, never for an address.
    if (!Name.empty() && !TNetStack::IsDottedQuad(Name) && !TNetStack::IsIPv6Address(Name))
        NetSSL_ctrl(SslHandle, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, Name.data());
    if (Verifying && !Name.empty())
        ExpectPeerName(Name);
    int R;
    std::string Reason;
    {
        TNetSigPipeGuard Guard;
        NetERR_clear_error();
        errno = 0;
        bool TimedOut = false;
        R = ATimeout > 0 ? TimedConnect(ASocket, ATimeout, TimedOut) : NetSSL_connect(SslHandle);
        const int SavedErrno = errno;
        // The reason is read before the library's error queue is dropped.
        if (R < 1)
            Reason = ConnectFailure(R, SavedErrno, TimedOut, Verifying);
        NetERR_clear_error();
    }
    if (R < 1)
        throw ENetOSSLConnectError(std::string(RSOSSLConnectError) + " " + Reason);
    ReadPeerExpiry();
    if (Owner != nullptr)
        Owner->FireStatusInfo(StatusText());
}

namespace {

// ATime as Unix seconds; 0 when it cannot be read.
int64_t UnixTime(const ASN1_TIME* ATime)
{
    struct tm Parts { };
    if (ATime == nullptr || NetASN1_TIME_to_tm(ATime, &Parts) != 1)
        return 0;
    return static_cast<int64_t>(timegm(&Parts));
}

} // namespace

void TNetSSLSocket::ReadPeerExpiry()
{
    FPeerExpiry = {};
    if (SslHandle == nullptr || NetSSL_get1_peer_certificate == nullptr || NetX509_free == nullptr
        || NetX509_get0_notAfter == nullptr || NetASN1_TIME_to_tm == nullptr)
        return;
    if (X509* Leaf = NetSSL_get1_peer_certificate(SslHandle)) {
        FPeerExpiry.Leaf = UnixTime(NetX509_get0_notAfter(Leaf));
        NetX509_free(Leaf);
    }
    FPeerExpiry.Earliest = FPeerExpiry.Leaf;
    // The chain is there only when the library verified (or tried to) what the server showed.
    const STACK_OF(X509)* Chain
        = NetSSL_get0_verified_chain != nullptr ? NetSSL_get0_verified_chain(SslHandle) : nullptr;
    if (Chain == nullptr || NetOPENSSL_sk_num == nullptr || NetOPENSSL_sk_value == nullptr)
        return;
    const auto* Stack = reinterpret_cast<const OPENSSL_STACK*>(Chain);
    const int Count = NetOPENSSL_sk_num(Stack);
    for (int I = 0; I < Count; ++I) {
        const auto* Certificate = static_cast<const X509*>(NetOPENSSL_sk_value(Stack, I));
        const int64_t NotAfter = Certificate != nullptr ? UnixTime(NetX509_get0_notAfter(Certificate)) : 0;
        if (NotAfter != 0 && (FPeerExpiry.Earliest == 0 || NotAfter < FPeerExpiry.Earliest))
            FPeerExpiry.Earliest = NotAfter;
    }
}

void TNetSSLSocket::AcceptHandshake(int ASocket, TNetSSLContext* AContext)
{
    if (!Attach(ASocket, AContext))
        return;
    int R;
    {
        TNetSigPipeGuard Guard;
        NetERR_clear_error();
        R = NetSSL_accept(SslHandle);
        NetERR_clear_error();
    }
    if (R < 1)
        throw ENetOSSLAcceptError(RSOSSLAcceptError);
    if (Owner != nullptr)
        Owner->FireStatusInfo(StatusText());
}

template <class TCall> int TNetSSLSocket::Transfer(int ALength, bool AWriting, TCall ACall)
{
    if (SslHandle == nullptr || !SSLLibrariesLoaded()) {
        errno = ENOTCONN;
        return -1;
    }
    if (FFailedErrno != 0) {
        errno = FFailedErrno;
        return -1;
    }
    if (ALength <= 0)
        return 0;
    TNetSigPipeGuard Guard;
    NetERR_clear_error();
    errno = 0;
    int R = ACall();
    int SavedErrno = errno;
    int Error = NetSSL_get_error(SslHandle, R);
    if (Error == SSL_ERROR_WANT_READ || Error == SSL_ERROR_WANT_WRITE) {
        NetERR_clear_error();
        errno = 0;
        R = ACall();
        SavedErrno = errno;
        Error = NetSSL_get_error(SslHandle, R);
    }
    NetERR_clear_error();
    if (R > 0)
        return R;
    // The library reports failures as 0 or -1 alike; only the end of the peer's data is 0
    // here (a close notice, or the connection ending without one), so that a caller that
    // reads 0 as "closed" and -1 as "see errno" is never misled.
    const bool PeerEnded = Error == SSL_ERROR_ZERO_RETURN || (Error == SSL_ERROR_SYSCALL && SavedErrno == 0);
    if (PeerEnded && !AWriting)
        return 0;
    if (PeerEnded) {
        // Nothing more can be sent in a session the peer has closed.
        errno = Error == SSL_ERROR_ZERO_RETURN ? ESHUTDOWN : EPIPE;
        return -1;
    }
    SetErrnoForFailure(Error, SavedErrno);
    if (FatalFailure(Error, SavedErrno))
        FFailedErrno = errno;
    return -1;
}

int TNetSSLSocket::ReadTLS(void* ABuffer, int ALength)
{
    const int Result = Transfer(ALength, false, [&] { return NetSSL_read(SslHandle, ABuffer, ALength); });
    FDataRead = FDataRead || Result > 0;
    return Result;
}

std::string TNetSSLSocket::CertificateRefusal(int AResult) const
{
    if (!FClientCertificateAsked || FDataRead || AResult > 0 || (AResult < 0 && FFailedErrno == 0))
        return {};
    return std::string(RSOSSLConnectError) + " " + RSOSSLClientCertificateRequired;
}

int TNetSSLSocket::WriteTLS(const void* ABuffer, int ALength)
{
    return Transfer(ALength, true, [&] { return NetSSL_write(SslHandle, ABuffer, ALength); });
}

int TNetSSLSocket::Pending() const
{
    if (SslHandle == nullptr || !SSLLibrariesLoaded())
        return 0;
    return NetSSL_pending(SslHandle);
}

bool TNetSSLSocket::InputReady()
{
    if (SslHandle == nullptr || !SSLLibrariesLoaded() || FFailedErrno != 0)
        return true; // the read fails at once
    if (NetSSL_pending(SslHandle) > 0)
        return true;
    // A look without waiting: on the blocking socket the library would otherwise go on from
    // a record of its own to wait for data, past any time-out of the reader.
    const int Flags = ::fcntl(FSocket, F_GETFL);
    if (Flags == -1 || ::fcntl(FSocket, F_SETFL, Flags | O_NONBLOCK) == -1)
        return true;
    int Error;
    int SavedErrno;
    {
        TNetSigPipeGuard Guard;
        NetERR_clear_error();
        errno = 0;
        char Byte;
        const int R = NetSSL_peek(SslHandle, &Byte, 1);
        SavedErrno = errno;
        Error = R > 0 ? SSL_ERROR_NONE : NetSSL_get_error(SslHandle, R);
        NetERR_clear_error();
    }
    ::fcntl(FSocket, F_SETFL, Flags);
    if (FatalFailure(Error, SavedErrno)) {
        const int Saved = errno;
        SetErrnoForFailure(Error, SavedErrno);
        FFailedErrno = errno;
        errno = Saved;
    }
    return Error != SSL_ERROR_WANT_READ;
}

TNetSSLCipher* TNetSSLSocket::Cipher()
{
    if (SslHandle == nullptr)
        return nullptr;
    if (!FCipher)
        FCipher = std::make_unique<TNetSSLCipher>(this);
    return FCipher.get();
}

std::string TNetSSLSocket::StatusText()
{
    const TNetSSLCipher Current(this);
    return "Cipher: name = " + Current.CipherName() + "; " + "description = " + Current.CipherDescription()
        + "; " + "bits = " + IntToStr(Current.CipherBits()) + "; " + "version = " + Current.CipherVersion()
        + "; ";
}

// ---------------------------------------------------------------------------------------------
// TNetX509

namespace {

std::string NameOneLine(X509_NAME* AName)
{
    if (AName == nullptr)
        return {};
    char* Text = NetX509_NAME_oneline(AName, nullptr, 0);
    if (Text == nullptr)
        return {};
    std::string Result(Text);
    NetCRYPTO_free(Text, __FILE__, __LINE__);
    return Result;
}

std::string TimeText(const ASN1_TIME* ATime)
{
    if (ATime == nullptr || NetASN1_STRING_get0_data == nullptr || NetASN1_STRING_length == nullptr)
        return {};
    const unsigned char* Data = NetASN1_STRING_get0_data(ATime);
    const int Length = NetASN1_STRING_length(ATime);
    if (Data == nullptr || Length <= 0)
        return {};
    return std::string(reinterpret_cast<const char*>(Data), static_cast<size_t>(Length));
}

} // namespace

std::string TNetX509::SubjectOneLine() const
{
    if (FHandle == nullptr || !SSLLibrariesLoaded())
        return {};
    return NameOneLine(NetX509_get_subject_name(FHandle));
}

std::string TNetX509::IssuerOneLine() const
{
    if (FHandle == nullptr || !SSLLibrariesLoaded())
        return {};
    return NameOneLine(NetX509_get_issuer_name(FHandle));
}

std::string TNetX509::NotBeforeText() const
{
    if (FHandle == nullptr || !SSLLibrariesLoaded() || NetX509_get0_notBefore == nullptr)
        return {};
    return TimeText(NetX509_get0_notBefore(FHandle));
}

std::string TNetX509::NotAfterText() const
{
    if (FHandle == nullptr || !SSLLibrariesLoaded() || NetX509_get0_notAfter == nullptr)
        return {};
    return TimeText(NetX509_get0_notAfter(FHandle));
}

std::string TNetX509::FingerprintAsString() const
{
    if (FHandle == nullptr || !SSLLibrariesLoaded() || NetX509_digest == nullptr || NetEVP_md5 == nullptr)
        return {};
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    const EVP_MD* MD5 = NetEVP_md5();
    if (MD5 == nullptr || NetX509_digest(FHandle, MD5, Digest, &Length) <= 0) {
        NetERR_clear_error();
        return {};
    }
    std::string Result;
    for (unsigned int I = 0; I < Length; ++I) {
        if (I > 0)
            Result += ':';
        Result += FormatStr("%02X", Digest[I]);
    }
    return Result;
}

// ---------------------------------------------------------------------------------------------
// Callbacks. None of them lets an exception out: it would have to unwind through the library.

void TLSInfoCallback(const SSL* ASession, int /*AWhere*/, int /*ARet*/)
{
    std::lock_guard<std::mutex> Lock(InfoCallbackLock);
    try {
        auto* Socket = static_cast<TNetSSLSocket*>(NetSSL_get_ex_data(ASession, SSLSocketDataIndex));
        const char* State = NetSSL_state_string_long(ASession);
        const std::string Msg = FormatStr("SSL status: \"%s\"", State != nullptr ? State : "");
        if (Socket != nullptr && Socket->Owner != nullptr)
            Socket->Owner->FireStatusInfo(Msg);
    } catch (...) {
    }
}

int TLSPasswordCallback(char* ABuffer, int ASize, int /*ARWFlag*/, void* AUserData)
{
    std::lock_guard<std::mutex> Lock(PasswordCallbackLock);
    std::string Password;
    try {
        auto* Context = static_cast<TNetSSLContext*>(AUserData);
        if (Context != nullptr && Context->Owner != nullptr)
            Context->Owner->FireGetPassword(Password);
    } catch (...) {
        Password.clear();
    }
    if (ABuffer == nullptr || ASize <= 0)
        return 0;
    // The length returned is the length copied: a pass phrase longer than the buffer is cut,
    // and the library must not be told it got more.
    const size_t Length = std::min(Password.size(), static_cast<size_t>(ASize - 1));
    std::memcpy(ABuffer, Password.data(), Length);
    ABuffer[Length] = '\0';
    std::fill(Password.begin(), Password.end(), '\0');
    return static_cast<int>(Length);
}

int TLSVerifyCallback(int AOk, X509_STORE_CTX* AStoreContext)
{
    std::lock_guard<std::mutex> Lock(VerifyCallbackLock);
    try {
        bool VerifiedOK = true;
        TNetX509 Certificate(NetX509_STORE_CTX_get_current_cert(AStoreContext));
        auto* Session = static_cast<SSL*>(
            NetX509_STORE_CTX_get_ex_data(AStoreContext, NetSSL_get_ex_data_X509_STORE_CTX_idx()));
        if (Session == nullptr)
            return AOk;
        auto* Socket = static_cast<TNetSSLSocket*>(NetSSL_get_ex_data(Session, SSLSocketDataIndex));
        if (Socket == nullptr)
            return AOk;
        const int Depth = NetX509_STORE_CTX_get_error_depth(AStoreContext);
        if (Socket->Owner != nullptr)
            VerifiedOK = Socket->Owner->FireVerifyPeer(Certificate);
        const int32_t MaxDepth = Socket->Context != nullptr ? Socket->Context->VerifyDepth : 0;
        // A refusal gets its reason, which the failed handshake reports.
        if (AOk > 0 && NetX509_STORE_CTX_set_error != nullptr) {
            if (!VerifiedOK)
                NetX509_STORE_CTX_set_error(AStoreContext, X509_V_ERR_APPLICATION_VERIFICATION);
            else if (Depth > MaxDepth)
                NetX509_STORE_CTX_set_error(AStoreContext, X509_V_ERR_CERT_CHAIN_TOO_LONG);
        }
        if (AOk <= 0 || Depth > MaxDepth)
            AOk = 0;
        return VerifiedOK && AOk > 0 ? 1 : 0;
    } catch (...) {
        // Whatever went wrong, a certificate that could not be judged is not accepted.
        return 0;
    }
}

// ---------------------------------------------------------------------------------------------
// TNetSSLIOHandlerSocket

TNetSSLIOHandlerSocket::TNetSSLIOHandlerSocket(TComponent* AOwner)
    : TNetIOHandlerSocket(AOwner)
    , FOwnOptions(std::make_unique<TNetSSLOptions>())
    , FSSLOptions(FOwnOptions.get())
{
}

TNetSSLIOHandlerSocket::~TNetSSLIOHandlerSocket()
{
    // The close notice goes out while the socket is still open; the base closes it after.
    FSSLSocket.reset();
    FreeContext();
}

void TNetSSLIOHandlerSocket::FreeContext()
{
    // A server-side transport only borrows the factory's context, and owns none.
    if (FServerSide)
        return;
    FContext = nullptr;
    FOwnContext.reset();
}

void TNetSSLIOHandlerSocket::AcceptDone()
{
    TNetIOHandlerSocket::AcceptDone();
    try {
        if (!FSSLSocket)
            FSSLSocket = std::make_unique<TNetSSLSocket>(FServer);
        FSSLSocket->AcceptHandshake(SocketHandle()->Handle, FContext);
    } catch (...) {
        CloseLink();
        throw;
    }
}

void TNetSSLIOHandlerSocket::CloseLink()
{
    FSSLSocket.reset();
    FreeContext();
    TNetIOHandlerSocket::CloseLink();
}

void TNetSSLIOHandlerSocket::PrepareLink()
{
    // A link that was never closed still has its socket here, so a session left on it says
    // goodbye on that socket and not on the next one, which may get the same number.
    FSSLSocket.reset();
    FreeContext();
    TNetIOHandlerSocket::PrepareLink();
}

void TNetSSLIOHandlerSocket::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
    int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout)
{
    const auto Start = std::chrono::steady_clock::now();
    FPeerExpiry = {};
    TNetIOHandlerSocket::ConnectTo(
        AHost, APort, ABoundIP, ABoundPort, ABoundPortMin, ABoundPortMax, ATimeout);
    FHost = AHost;
    FHandshakeTimeout = ATimeout;
    FireBeforeHandshake();
    // A plain connection needs neither the TLS library nor a context, which costs more than the
    // whole exchange of a small page; an upgrade in place builds one when it is asked for.
    if (FBypassTLS)
        return;
    BuildContext();
    // One deadline for the whole connect: the handshake gets what the TCP connect (and the
    // handler before it) left of it. A later upgrade in place gets the whole time-out again.
    struct TRestore {
        int32_t& Timeout;
        int32_t Whole;
        ~TRestore() { Timeout = Whole; }
    } Restore { FHandshakeTimeout, ATimeout };
    if (ATimeout > 0) {
        const auto Spent
            = std::chrono::ceil<std::chrono::milliseconds>(std::chrono::steady_clock::now() - Start);
        FHandshakeTimeout = static_cast<int32_t>(std::max<int64_t>(ATimeout - Spent.count(), 1));
    }
    StartTLS();
}

void TNetSSLIOHandlerSocket::BuildContext()
{
    FreeContext();
    auto Context = std::make_unique<TNetSSLContext>();
    Context->Owner = this;
    Context->AssignOptions(*FSSLOptions);
    Context->VerifyOn = static_cast<bool>(OnVerifyPeer);
    Context->StatusInfoOn = static_cast<bool>(OnStatusInfo);
    Context->Setup(TContextRole::crClient);
    FOwnContext = std::move(Context);
    FContext = FOwnContext.get();
}

void TNetSSLIOHandlerSocket::StartTLS()
{
    if (FSSLSocket)
        return;
    FSSLSocket = std::make_unique<TNetSSLSocket>(this);
    FSSLSocket->Context = FContext;
    TNetSocketHandle* Handle = SocketHandle();
    FSSLSocket->Handshake(Handle != nullptr ? Handle->Handle : -1, FContext, FHost, FHandshakeTimeout);
    FPeerExpiry = FSSLSocket->PeerExpiry();
}

void TNetSSLIOHandlerSocket::SetBypassTLS(bool AValue)
{
    if (!AValue && LinkOpen()) {
        // Raises "Could not load SSL library." without the library; the plain link goes on.
        if (FContext == nullptr)
            BuildContext();
        // Stored first: after a failed upgrade the link must not be read as plain text.
        FBypassTLS = false;
        StartTLS();
        return;
    }
    FBypassTLS = AValue;
}

bool TNetSSLIOHandlerSocket::CanRead(int32_t ATimeout)
{
    if (FBypassTLS || !FSSLSocket || FSSLSocket->SslHandle == nullptr || !LinkOpen())
        return TNetIOHandlerSocket::CanRead(ATimeout);
    // What the socket shows and what a session read gives differ both ways: the session keeps
    // the rest of a record that was asked for only in part, where no wait on the socket sees
    // it, and a readable socket may hold only records of the protocol itself, after which a
    // read would wait for data without any limit.
    const bool Unlimited = ATimeout < 0;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(ATimeout, 0));
    for (;;) {
        if (FSSLSocket->Pending() > 0)
            return true;
        int32_t Wait = ATimeout;
        if (!Unlimited) {
            const auto Left
                = std::chrono::ceil<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
            Wait = static_cast<int32_t>(std::max<int64_t>(Left.count(), 0));
        }
        if (!TNetIOHandlerSocket::CanRead(Wait))
            return false;
        if (FSSLSocket->InputReady())
            return true;
        if (!Unlimited && std::chrono::steady_clock::now() >= Deadline)
            return false;
    }
}

int32_t TNetSSLIOHandlerSocket::ReadSome(void* ABuffer, int32_t ALength)
{
    if (FBypassTLS)
        return TNetIOHandlerSocket::ReadSome(ABuffer, ALength);
    if (!LinkOpen())
        throw ENetClosedSocket(RSClosedSocket);
    return ReadSomeTLS(ABuffer, ALength);
}

int32_t TNetSSLIOHandlerSocket::TryReadSome(void* ABuffer, int32_t ALength)
{
    return FBypassTLS ? TNetIOHandlerSocket::TryReadSome(ABuffer, ALength) : NetNothingToRead;
}

int32_t TNetSSLIOHandlerSocket::TryWriteSome(const void* ABuffer, int32_t ALength)
{
    return FBypassTLS ? TNetIOHandlerSocket::TryWriteSome(ABuffer, ALength) : NetNoRoomToWrite;
}

int32_t TNetSSLIOHandlerSocket::WriteSome(const void* ABuffer, int32_t ALength)
{
    if (FBypassTLS)
        return TNetIOHandlerSocket::WriteSome(ABuffer, ALength);
    if (!LinkOpen())
        throw ENetClosedSocket(RSClosedSocket);
    return WriteSomeTLS(ABuffer, ALength);
}

namespace {

// A failed session read or write leaves its reason in errno; the connection judges it by the
// stack's last socket error.
int32_t RecordedTLSResult(int AResult)
{
    if (AResult >= 0)
        return AResult;
    TNetStackLinux::RecordErrno();
    return -1;
}

} // namespace

int32_t TNetSSLIOHandlerSocket::ReadSomeTLS(void* ABuffer, int32_t ALength)
{
    if (!FSSLSocket) {
        errno = ENOTCONN;
        return RecordedTLSResult(-1);
    }
    const int Result = FSSLSocket->ReadTLS(ABuffer, ALength);
    if (Result <= 0)
        if (std::string Refusal = FSSLSocket->CertificateRefusal(Result); !Refusal.empty())
            throw ENetOSSLConnectError(std::move(Refusal));
    return RecordedTLSResult(Result);
}

int32_t TNetSSLIOHandlerSocket::WriteSomeTLS(const void* ABuffer, int32_t ALength)
{
    if (!FSSLSocket) {
        errno = ENOTCONN;
        return RecordedTLSResult(-1);
    }
    const int Result = FSSLSocket->WriteTLS(ABuffer, ALength);
    if (Result < 0)
        if (std::string Refusal = FSSLSocket->CertificateRefusal(Result); !Refusal.empty())
            throw ENetOSSLConnectError(std::move(Refusal));
    return RecordedTLSResult(Result);
}

void TNetSSLIOHandlerSocket::FireBeforeHandshake()
{
    if (OnBeforeHandshake)
        OnBeforeHandshake(this);
}

void TNetSSLIOHandlerSocket::FireStatusInfo(const std::string& AMsg)
{
    if (OnStatusInfo)
        OnStatusInfo(AMsg);
}

void TNetSSLIOHandlerSocket::FireGetPassword(std::string& APassword)
{
    if (OnGetPassword)
        OnGetPassword(APassword);
}

bool TNetSSLIOHandlerSocket::FireVerifyPeer(TNetX509& ACertificate)
{
    return OnVerifyPeer ? OnVerifyPeer(ACertificate) : true;
}

void TNetSSLIOHandlerSocket::Notification(TComponent* AComponent, TOperation AOperation)
{
    TNetIOHandlerSocket::Notification(AComponent, AOperation);
    if (AOperation != TOperation::opRemove || AComponent == nullptr || AComponent != FServer)
        return;
    // The factory takes the shared context and settings with it; the session keeps its own
    // hold on the library context and goes on without them.
    FServer = nullptr;
    FContext = nullptr;
    FSSLOptions = nullptr;
    if (FSSLSocket) {
        FSSLSocket->Owner = nullptr;
        FSSLSocket->Context = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------
// TNetServerIOHandlerSSL

TNetServerIOHandlerSSL::TNetServerIOHandlerSSL(TComponent* AOwner)
    : TNetComponent(AOwner)
{
}

TNetServerIOHandlerSSL::~TNetServerIOHandlerSSL()
{
    // Transports owned here still use the context while they close.
    DestroyComponents();
}

void TNetServerIOHandlerSSL::Init()
{
    auto Context = std::make_unique<TNetSSLContext>();
    Context->Owner = this;
    Context->AssignOptions(FSSLOptions);
    Context->VerifyOn = static_cast<bool>(OnVerifyPeer);
    Context->StatusInfoOn = static_cast<bool>(OnStatusInfo);
    Context->Setup(TContextRole::crServer);
    FContext = std::move(Context);
}

TNetSSLIOHandlerSocket* TNetServerIOHandlerSSL::Accept(int AListeningSocket, TComponent* AOwner)
{
    if (!FContext)
        Init();
    auto Handler = std::make_unique<TNetSSLIOHandlerSocket>(AOwner);
    Handler->FOwnOptions.reset();
    Handler->FServerSide = true;
    Handler->FServer = this;
    Handler->FContext = FContext.get();
    Handler->FSSLOptions = &FSSLOptions;
    FreeNotification(Handler.get());
    Handler->PrepareLink();
    if (!Handler->SocketHandle()->AcceptFrom(AListeningSocket))
        return nullptr;
    Handler->AcceptDone();
    return Handler.release();
}

void TNetServerIOHandlerSSL::FireStatusInfo(const std::string& AMsg)
{
    if (OnStatusInfo)
        OnStatusInfo(AMsg);
}

void TNetServerIOHandlerSSL::FireGetPassword(std::string& APassword)
{
    if (OnGetPassword)
        OnGetPassword(APassword);
}

bool TNetServerIOHandlerSSL::FireVerifyPeer(TNetX509& ACertificate)
{
    return OnVerifyPeer ? OnVerifyPeer(ACertificate) : true;
}
