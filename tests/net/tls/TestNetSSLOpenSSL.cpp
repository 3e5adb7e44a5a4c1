// Contexts and sessions against a real TLS server thread on 127.0.0.1. The server uses the
// library linked into this test program; the code under test reaches the same library only
// through its run-time loader.
#include "net/tls/NetSSLOpenSSL.h"

#include "TLSTestSupport.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define VARDEX_HAS_LSAN 1
#endif

namespace {

class TRecordingSink : public TNetSSLEventSink {
public:
    void FireStatusInfo(const std::string& AMsg) override { Status.push_back(AMsg); }
    void FireGetPassword(std::string& APassword) override
    {
        ++PasswordCalls;
        APassword = Password;
    }
    bool FireVerifyPeer(TNetX509& ACertificate) override
    {
        ++VerifyCalls;
        Subjects.push_back(ACertificate.SubjectOneLine());
        Issuers.push_back(ACertificate.IssuerOneLine());
        NotBefore = ACertificate.NotBeforeText();
        NotAfter = ACertificate.NotAfterText();
        Fingerprint = ACertificate.FingerprintAsString();
        return Accept;
    }

    std::vector<std::string> Status;
    std::string Password;
    int PasswordCalls = 0;
    bool Accept = true;
    int VerifyCalls = 0;
    std::vector<std::string> Subjects, Issuers;
    std::string NotBefore, NotAfter, Fingerprint;
};

std::unique_ptr<TNetSSLContext> ClientContext(TNetSSLEventSink* ASink, const TNetSSLOptions& AOptions = {},
    bool AStatusInfo = false, bool AVerify = false)
{
    auto Context = std::make_unique<TNetSSLContext>();
    Context->AssignOptions(AOptions);
    Context->Owner = ASink;
    Context->StatusInfoOn = AStatusInfo;
    Context->VerifyOn = AVerify;
    Context->Setup(TContextRole::crClient);
    return Context;
}

// One client connection; the session goes before the socket, as a transport does it.
struct TClient {
    TClient(int APort, TNetSSLEventSink* ASink)
        : Socket(ConnectLoopback(APort))
        , Session(std::make_unique<TNetSSLSocket>(ASink))
    {
    }
    ~TClient() { Close(); }
    void Close()
    {
        Session.reset();
        if (Socket >= 0)
            ::close(Socket);
        Socket = -1;
    }

    int Socket;
    std::unique_ptr<TNetSSLSocket> Session;
};

bool WriteAll(TNetSSLSocket& ASession, const std::string& AData)
{
    return ASession.WriteTLS(AData.data(), static_cast<int>(AData.size())) == static_cast<int>(AData.size());
}

std::string ReadExactly(TNetSSLSocket& ASession, size_t ACount)
{
    std::string Result;
    char Buffer[16384];
    while (Result.size() < ACount) {
        const int N
            = ASession.ReadTLS(Buffer, static_cast<int>(std::min(sizeof Buffer, ACount - Result.size())));
        if (N <= 0)
            break;
        Result.append(Buffer, static_cast<size_t>(N));
    }
    return Result;
}

// The message of the ENetOpenSSLError that ACall raises, or "(none)".
std::string OpenSSLErrorOf(const std::function<void()>& ACall)
{
    try {
        ACall();
    } catch (const ENetOpenSSLError& E) {
        return E.what();
    }
    return "(none)";
}

std::string HandshakeError(
    int APort, TNetSSLEventSink* ASink, TNetSSLContext* AContext, const std::string& AHost = "vardex.test")
{
    TClient Client(APort, ASink);
    return OpenSSLErrorOf([&] { Client.Session->Handshake(Client.Socket, AContext, AHost); });
}

std::string Asn1Text(const ASN1_TIME* ATime)
{
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(ATime)),
        static_cast<size_t>(ASN1_STRING_length(ATime)));
}

} // namespace

TEST(NetSSLOpenSSL, OptionsStartEmptyAndAssignCopiesAllNine)
{
    const TNetSSLOptions Defaults;
    EXPECT_EQ(Defaults.RootCertFile, "");
    EXPECT_EQ(Defaults.CertFile, "");
    EXPECT_EQ(Defaults.KeyFile, "");
    EXPECT_EQ(Defaults.Method, TNetSSLVersion::sslvSSLv2);
    EXPECT_EQ(Defaults.Mode, TNetSSLMode::sslmUnassigned);
    EXPECT_EQ(Defaults.VerifyDepth, 0);
    EXPECT_TRUE(Defaults.VerifyMode.Empty());
    EXPECT_EQ(Defaults.VerifyDirs, "");
    EXPECT_EQ(Defaults.CipherList, "");

    TNetSSLOptions Source;
    Source.RootCertFile = "root.pem";
    Source.CertFile = "cert.pem";
    Source.KeyFile = "key.pem";
    Source.Method = TNetSSLVersion::sslvTLSv1;
    Source.Mode = TNetSSLMode::sslmBoth;
    Source.VerifyDepth = 3;
    Source.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer, TNetSSLVerifyMode::sslvrfClientOnce };
    Source.VerifyDirs = "/etc/ssl/certs";
    Source.CipherList = "HIGH";
    TNetSSLOptions Copy;
    Copy.Assign(Source);
    TNetSSLContext Context;
    Context.AssignOptions(Copy);
    EXPECT_EQ(Context.RootCertFile, "root.pem");
    EXPECT_EQ(Context.CertFile, "cert.pem");
    EXPECT_EQ(Context.KeyFile, "key.pem");
    EXPECT_EQ(Context.Method, TNetSSLVersion::sslvTLSv1);
    EXPECT_EQ(Context.Mode, TNetSSLMode::sslmBoth);
    EXPECT_EQ(Context.VerifyDepth, 3);
    EXPECT_EQ(Context.VerifyMode, Source.VerifyMode);
    EXPECT_EQ(Context.VerifyDirs, "/etc/ssl/certs");
    EXPECT_EQ(Context.CipherList, "HIGH");
    // A new context: no library context yet, session id context 1, nothing switched on.
    const TNetSSLContext Fresh;
    EXPECT_EQ(Fresh.CtxHandle, nullptr);
    EXPECT_EQ(Fresh.SessionIdContext, 1u);
    EXPECT_EQ(Fresh.Mode, TNetSSLMode::sslmUnassigned);
    EXPECT_FALSE(Fresh.StatusInfoOn);
    EXPECT_FALSE(Fresh.VerifyOn);
    EXPECT_EQ(Fresh.Owner, nullptr);
}

TEST(NetSSLOpenSSL, VerifyModeBitsAreTheLibraryFlags)
{
    EXPECT_EQ(TNetSSLVerifyModeSet {}.Mask(), SSL_VERIFY_NONE);
    EXPECT_EQ(TNetSSLVerifyModeSet { TNetSSLVerifyMode::sslvrfPeer }.Mask(), SSL_VERIFY_PEER);
    EXPECT_EQ(TNetSSLVerifyModeSet { TNetSSLVerifyMode::sslvrfFailIfNoPeerCert }.Mask(),
        SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
    EXPECT_EQ(TNetSSLVerifyModeSet { TNetSSLVerifyMode::sslvrfClientOnce }.Mask(), SSL_VERIFY_CLIENT_ONCE);
    TNetSSLVerifyModeSet All { TNetSSLVerifyMode::sslvrfPeer, TNetSSLVerifyMode::sslvrfFailIfNoPeerCert,
        TNetSSLVerifyMode::sslvrfClientOnce };
    EXPECT_EQ(All.Mask(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE);
    All.Exclude(TNetSSLVerifyMode::sslvrfFailIfNoPeerCert);
    EXPECT_FALSE(All.Contains(TNetSSLVerifyMode::sslvrfFailIfNoPeerCert));
    EXPECT_TRUE(All.Contains(TNetSSLVerifyMode::sslvrfClientOnce));

    // What the library was given.
    TNetSSLContext Context;
    Context.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer, TNetSSLVerifyMode::sslvrfFailIfNoPeerCert };
    Context.VerifyDepth = 4;
    Context.Setup(TContextRole::crClient);
    EXPECT_EQ(SSL_CTX_get_verify_mode(Context.CtxHandle), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
    EXPECT_EQ(SSL_CTX_get_verify_depth(Context.CtxHandle), 4);
    EXPECT_EQ(SSL_CTX_get_verify_callback(Context.CtxHandle), nullptr); // VerifyOn is off
    Context.VerifyOn = true;
    Context.Setup(TContextRole::crClient);
    EXPECT_EQ(SSL_CTX_get_verify_callback(Context.CtxHandle), &TLSVerifyCallback);
    // The empty set leaves the library's default: nothing is verified.
    TNetSSLContext Default;
    Default.VerifyDepth = 4;
    Default.Setup(TContextRole::crClient);
    EXPECT_EQ(SSL_CTX_get_verify_mode(Default.CtxHandle), SSL_VERIFY_NONE);
    EXPECT_NE(SSL_CTX_get_verify_depth(Default.CtxHandle), 4);
}

TEST(NetSSLOpenSSL, HandshakeAndEchoBothWays)
{
    TTLSTestServer Server({});
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    TClient Client(Server.Port(), &Sink);
    ASSERT_GE(Client.Socket, 0);
    Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
    ASSERT_NE(Client.Session->SslHandle, nullptr);

    const std::string Request = "GET / HTTP/1.1\r\nHost: vardex.test\r\n\r\n";
    ASSERT_TRUE(WriteAll(*Client.Session, Request));
    EXPECT_EQ(ReadExactly(*Client.Session, Request.size()), Request);

    // Larger data in pieces of one TLS record each, every byte value included.
    std::string Sent = Request;
    for (int Piece = 0; Piece < 16; ++Piece) {
        std::string Data(16384, '\0');
        for (size_t I = 0; I < Data.size(); ++I)
            Data[I] = static_cast<char>((I * 7 + static_cast<size_t>(Piece)) & 0xFF);
        ASSERT_TRUE(WriteAll(*Client.Session, Data));
        ASSERT_EQ(ReadExactly(*Client.Session, Data.size()), Data) << "piece " << Piece;
        Sent += Data;
    }
    const std::string Version = Client.Session->Cipher()->CipherVersion();
    Client.Close();

    const auto Records = Server.WaitForRecords(1);
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_TRUE(Records[0].HandshakeOK);
    EXPECT_EQ(Records[0].Received, Sent);
    // The default settings negotiate the newest version both sides have.
    EXPECT_EQ(Records[0].Version, "TLSv1.3");
    EXPECT_EQ(Version, "TLSv1.3");
}

TEST(NetSSLOpenSSL, StatusTextGoesToTheOwner)
{
    TTLSTestServer Server({});
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    TClient Client(Server.Port(), &Sink);
    Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
    ASSERT_EQ(Sink.Status.size(), 1u);
    const std::string Text = Client.Session->StatusText();
    TNetSSLCipher* Cipher = Client.Session->Cipher();
    ASSERT_NE(Cipher, nullptr);
    EXPECT_EQ(Client.Session->Cipher(), Cipher); // made once per session
    const std::string Name = Cipher->CipherName(), Description = Cipher->CipherDescription();
    const int32_t Bits = Cipher->CipherBits();
    Client.Close();

    const auto Records = Server.WaitForRecords(1);
    ASSERT_EQ(Records.size(), 1u);
    const TServerRecord& R = Records[0];
    const std::string Expected = "Cipher: name = " + R.CipherName + "; description = " + R.CipherDescription
        + "; bits = " + std::to_string(R.CipherBits) + "; version = " + R.Version + "; ";
    EXPECT_EQ(Sink.Status[0], Expected);
    EXPECT_EQ(Text, Expected);
    EXPECT_EQ(Name, R.CipherName);
    EXPECT_EQ(Description, R.CipherDescription);
    EXPECT_EQ(Bits, R.CipherBits);
    EXPECT_GE(Bits, 128);
}

TEST(NetSSLOpenSSL, InfoCallbackReportsTheHandshakeStates)
{
    TTLSTestServer Server({});
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink, {}, true);
    {
        TClient Client(Server.Port(), &Sink);
        Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
        ASSERT_GE(Sink.Status.size(), 3u);
        for (size_t I = 0; I + 1 < Sink.Status.size(); ++I) {
            const std::string& S = Sink.Status[I];
            EXPECT_EQ(S.rfind("SSL status: \"", 0), 0u) << S;
            EXPECT_EQ(S.back(), '"') << S;
        }
        EXPECT_NE(std::find(Sink.Status.begin(), Sink.Status.end(),
                      "SSL status: \"SSL negotiation finished successfully\""),
            Sink.Status.end());
        EXPECT_EQ(Sink.Status.back().rfind("Cipher: name = ", 0), 0u);
    }
    // A session without an owner runs the same callbacks and tells nobody.
    TClient Quiet(Server.Port(), nullptr);
    const size_t Before = Sink.Status.size();
    Quiet.Session->Handshake(Quiet.Socket, Context.get(), "vardex.test");
    EXPECT_NE(Quiet.Session->SslHandle, nullptr);
    EXPECT_EQ(Sink.Status.size(), Before);
}

TEST(NetSSLOpenSSL, ServerNameIsSentForNamesOnly)
{
    struct Row {
        const char* Host;
        const char* Seen;
    };
    const Row Rows[] = {
        { "vardex.test", "vardex.test" },
        { "localhost", "localhost" },
        { "127.0.0.1", "" },
        { "0x7f.0.0.1", "" }, // still a dotted address in the program's integer text
        { "", "" },
        { "1.2.3", "1.2.3" },
        { "256.1.1.1", "256.1.1.1" },
    };
    TTLSTestServer Server({});
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    for (const Row& R : Rows) {
        TClient Client(Server.Port(), &Sink);
        Client.Session->Handshake(Client.Socket, Context.get(), R.Host);
    }
    const auto Records = Server.WaitForRecords(std::size(Rows));
    ASSERT_EQ(Records.size(), std::size(Rows));
    for (size_t I = 0; I < std::size(Rows); ++I) {
        EXPECT_TRUE(Records[I].HandshakeOK) << Rows[I].Host;
        EXPECT_EQ(Records[I].ServerName, Rows[I].Seen) << Rows[I].Host;
    }
}

TEST(NetSSLOpenSSL, RefusedHandshakeRaisesConnectError)
{
    TTLSTestServer Server({ "", "", TServerBehaviour::sbCloseAtOnce });
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    TClient Client(Server.Port(), &Sink);
    try {
        Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
        FAIL() << "handshake succeeded";
    } catch (const ENetOSSLConnectError& E) {
        // The library's own words follow the fixed text.
        EXPECT_EQ(std::string(E.what()).rfind("Error connecting with SSL. ", 0), 0u) << E.what();
        EXPECT_NE(dynamic_cast<const ENetException*>(&E), nullptr);
    }
    EXPECT_TRUE(Sink.Status.empty());
}

TEST(NetSSLOpenSSL, VerifyModeLetsTheOwnerDecide)
{
    TTLSTestServer Server({});
    TNetSSLOptions Options;
    Options.RootCertFile = TestPKI().SelfCertFile;
    Options.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };

    TRecordingSink Refusing;
    Refusing.Accept = false;
    auto RefusingContext = ClientContext(&Refusing, Options, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Refusing, RefusingContext.get()),
        "Error connecting with SSL. Certificate verify failed: application verification failure");
    EXPECT_GE(Refusing.VerifyCalls, 1);

    TRecordingSink Accepting;
    auto AcceptingContext = ClientContext(&Accepting, Options, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Accepting, AcceptingContext.get()), "(none)");
    ASSERT_EQ(Accepting.VerifyCalls, 1); // a self-signed certificate is a chain of one
    EXPECT_EQ(Accepting.Subjects[0], "/O=Vardex Test/CN=vardex.test");
    EXPECT_EQ(Accepting.Issuers[0], "/O=Vardex Test/CN=vardex.test");
    EXPECT_EQ(Accepting.NotBefore, Asn1Text(X509_get0_notBefore(TestPKI().SelfCert)));
    EXPECT_EQ(Accepting.NotAfter, Asn1Text(X509_get0_notAfter(TestPKI().SelfCert)));
    unsigned char Digest[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    ASSERT_EQ(X509_digest(TestPKI().SelfCert, EVP_md5(), Digest, &Length), 1);
    std::string Expected;
    for (unsigned int I = 0; I < Length; ++I) {
        char Hex[4];
        std::snprintf(Hex, sizeof Hex, I == 0 ? "%02X" : ":%02X", Digest[I]);
        Expected += Hex;
    }
    EXPECT_EQ(Accepting.Fingerprint, Expected);

    // The owner cannot overrule the library: an untrusted certificate fails even when accepted.
    TNetSSLOptions Untrusted;
    Untrusted.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };
    TRecordingSink Lenient;
    auto UntrustedContext = ClientContext(&Lenient, Untrusted, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Lenient, UntrustedContext.get()),
        "Error connecting with SSL. Certificate verify failed: self-signed certificate");
    EXPECT_GE(Lenient.VerifyCalls, 1);

    // Without VerifyOn the library judges alone and the owner is not asked.
    TRecordingSink Silent;
    auto LibraryContext = ClientContext(&Silent, Options, false, false);
    EXPECT_EQ(HandshakeError(Server.Port(), &Silent, LibraryContext.get()), "(none)");
    EXPECT_EQ(Silent.VerifyCalls, 0);
}

TEST(NetSSLOpenSSL, VerifyDepthLimitsTheChain)
{
    TTLSTestServer Server({ TestPKI().LeafCertFile, TestPKI().LeafKeyFile });
    TNetSSLOptions Options;
    Options.RootCertFile = TestPKI().CACertFile;
    Options.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };

    TRecordingSink Shallow;
    auto ShallowContext = ClientContext(&Shallow, Options, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Shallow, ShallowContext.get(), "leaf.vardex.test"),
        "Error connecting with SSL. Certificate verify failed: certificate chain too long");

    Options.VerifyDepth = 1;
    TRecordingSink Deep;
    auto DeepContext = ClientContext(&Deep, Options, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Deep, DeepContext.get(), "leaf.vardex.test"), "(none)");
    ASSERT_EQ(Deep.VerifyCalls, 2);
    EXPECT_EQ(Deep.Subjects[0], "/O=Vardex Test/CN=Vardex Test CA");
    EXPECT_EQ(Deep.Subjects[1], "/O=Vardex Test/CN=leaf.vardex.test");
    EXPECT_EQ(Deep.Issuers[1], "/O=Vardex Test/CN=Vardex Test CA");
}

TEST(NetSSLOpenSSL, EmptyVerifyModeAcceptsSelfSignedCertificates)
{
    TTLSTestServer Server({});
    TRecordingSink Sink;
    Sink.Accept = false; // never asked: nothing is verified
    auto Context = ClientContext(&Sink, {}, false, true);
    EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get()), "(none)");
    EXPECT_EQ(Sink.VerifyCalls, 0);
}

// Sets an environment variable (or removes it, for nullptr) while it lives.
class TEnvScope {
public:
    TEnvScope(const char* AName, const char* AValue)
        : FName(AName)
    {
        if (const char* Old = std::getenv(AName))
            FOld = Old;
        FHad = std::getenv(AName) != nullptr;
        if (AValue != nullptr)
            setenv(AName, AValue, 1);
        else
            unsetenv(AName);
    }
    ~TEnvScope()
    {
        if (FHad)
            setenv(FName.c_str(), FOld.c_str(), 1);
        else
            unsetenv(FName.c_str());
    }

private:
    std::string FName, FOld;
    bool FHad = false;
};

TEST(NetSSLOpenSSL, SystemTrustStoreIsReadOnlyForAVerifyModeAndOnlyAsFarAsNeeded)
{
    auto Stored = [](const TNetSSLContext& AContext) {
        return sk_X509_OBJECT_num(X509_STORE_get0_objects(SSL_CTX_get_cert_store(AContext.CtxHandle)));
    };
    auto Verifying = [] {
        TNetSSLOptions Options;
        Options.VerifyMode = { TNetSSLVerifyMode::sslvrfPeer };
        Options.VerifyDepth = SSLDefaultVerifyDepth;
        return Options;
    };
    TRecordingSink Sink;
    EXPECT_EQ(Stored(*ClientContext(&Sink)), 0);

    // A folder with the authority under its hash name, as the system's folder holds them: it is
    // looked into when the server's chain needs it, and nothing is read before.
    const testsupport::TTempFolder Folder("vardex-trust");
    const std::string& Hashed = Folder.Path();
    ASSERT_FALSE(Hashed.empty());
    const std::string Plain = Hashed + "/plain";
    ASSERT_EQ(mkdir(Plain.c_str(), 0700), 0);
    {
        FILE* CA = std::fopen(TestPKI().CACertFile.c_str(), "r");
        ASSERT_NE(CA, nullptr);
        X509* Cert = PEM_read_X509(CA, nullptr, nullptr, nullptr);
        std::fclose(CA);
        ASSERT_NE(Cert, nullptr);
        char Name[16];
        std::snprintf(Name, sizeof Name, "%08lx.0", X509_subject_name_hash(Cert));
        X509_free(Cert);
        ASSERT_EQ(symlink(TestPKI().CACertFile.c_str(), (Hashed + "/" + Name).c_str()), 0);
    }
    TTLSTestServer Server({ TestPKI().LeafCertFile, TestPKI().LeafKeyFile });
    {
        TEnvScope File("SSL_CERT_FILE", nullptr);
        TEnvScope Dir("SSL_CERT_DIR", Hashed.c_str());
        auto Context = ClientContext(&Sink, Verifying());
        EXPECT_EQ(Stored(*Context), 0);
        EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get(), "leaf.vardex.test"), "(none)");
    }
    {
        // A file named by SSL_CERT_FILE is read whole, beside the folder.
        TEnvScope File("SSL_CERT_FILE", TestPKI().CACertFile.c_str());
        TEnvScope Dir("SSL_CERT_DIR", Plain.c_str());
        auto Context = ClientContext(&Sink, Verifying());
        EXPECT_EQ(Stored(*Context), 1);
        EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get(), "leaf.vardex.test"), "(none)");
    }
    {
        // Without a folder of hashed certificates the system's bundle file is read, where there
        // is one; the test authority is in neither.
        TEnvScope File("SSL_CERT_FILE", nullptr);
        TEnvScope Dir("SSL_CERT_DIR", Plain.c_str());
        auto Context = ClientContext(&Sink, Verifying());
        if (FILE* Bundle = std::fopen(X509_get_default_cert_file(), "r")) {
            std::fclose(Bundle);
            EXPECT_GT(Stored(*Context), 0);
        }
        EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get(), "leaf.vardex.test"),
            "Error connecting with SSL. Certificate verify failed: unable to get local issuer certificate");
    }
}

TEST(NetSSLOpenSSL, LaterContextsDoNotStartTheLibraryAgain)
{
    TRecordingSink Sink;
    auto First = ClientContext(&Sink);
    const int32_t Starts = TNetSSLContext::LibraryStarts();
    const int32_t Users = TNetSSLContext::LibraryUsers();
    EXPECT_EQ(Starts, 1);
    EXPECT_GE(Users, 1);

    TTLSTestServer Server({});
    for (int Connect = 0; Connect < 2; ++Connect) {
        auto Context = ClientContext(&Sink); // a new context per connect, as the transport makes them
        EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get()), "(none)");
    }
    EXPECT_EQ(TNetSSLContext::LibraryStarts(), Starts);
    EXPECT_EQ(TNetSSLContext::LibraryUsers(), Users + 2);
}

TEST(NetSSLOpenSSL, PinnedVersionsFailAgainstAModernServer)
{
    TTLSTestServer Server({ "", "", TServerBehaviour::sbEcho, TLS1_2_VERSION });
    struct Row {
        TNetSSLVersion Method;
        const char* Expected;
    };
    const Row Rows[] = {
        { TNetSSLVersion::sslvTLSv1,
            "Error connecting with SSL. Library error: tlsv1 alert protocol version" },
        { TNetSSLVersion::sslvSSLv3, "Error connecting with SSL. Library error: no protocols available" },
        { TNetSSLVersion::sslvSSLv23, "(none)" },
        { TNetSSLVersion::sslvSSLv2, "(none)" },
    };
    for (const Row& R : Rows) {
        TNetSSLOptions Options;
        Options.Method = R.Method;
        TRecordingSink Sink;
        auto Context = ClientContext(&Sink, Options);
        EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Context.get()), R.Expected)
            << static_cast<int>(R.Method);
    }
}

TEST(NetSSLOpenSSL, MethodTable)
{
    struct Row {
        TNetSSLVersion Method;
        TNetSSLMode Mode;
        const SSL_METHOD* Expected;
        int Pinned;
    };
    const Row Rows[] = {
        { TNetSSLVersion::sslvSSLv2, TNetSSLMode::sslmClient, TLS_client_method(), 0 },
        { TNetSSLVersion::sslvSSLv2, TNetSSLMode::sslmServer, TLS_server_method(), 0 },
        { TNetSSLVersion::sslvSSLv2, TNetSSLMode::sslmBoth, TLS_method(), 0 },
        { TNetSSLVersion::sslvSSLv23, TNetSSLMode::sslmClient, TLS_client_method(), 0 },
        { TNetSSLVersion::sslvSSLv23, TNetSSLMode::sslmServer, TLS_server_method(), 0 },
        { TNetSSLVersion::sslvSSLv23, TNetSSLMode::sslmBoth, TLS_method(), 0 },
        { TNetSSLVersion::sslvSSLv3, TNetSSLMode::sslmClient, TLS_client_method(), SSL3_VERSION },
        { TNetSSLVersion::sslvSSLv3, TNetSSLMode::sslmServer, TLS_server_method(), SSL3_VERSION },
        { TNetSSLVersion::sslvSSLv3, TNetSSLMode::sslmBoth, TLS_method(), SSL3_VERSION },
        { TNetSSLVersion::sslvTLSv1, TNetSSLMode::sslmClient, TLS_client_method(), TLS1_VERSION },
        { TNetSSLVersion::sslvTLSv1, TNetSSLMode::sslmServer, TLS_server_method(), TLS1_VERSION },
        { TNetSSLVersion::sslvTLSv1, TNetSSLMode::sslmBoth, TLS_method(), TLS1_VERSION },
    };
    for (const Row& R : Rows) {
        TNetSSLContext Context;
        Context.Method = R.Method;
        Context.Mode = R.Mode;
        EXPECT_EQ(Context.SelectMethod(), R.Expected);
        EXPECT_EQ(Context.PinnedVersion(), R.Pinned);
        Context.Setup(TContextRole::crClient);
        EXPECT_EQ(Context.Mode, R.Mode);
        EXPECT_EQ(SSL_CTX_get_min_proto_version(Context.CtxHandle), R.Pinned);
        EXPECT_EQ(SSL_CTX_get_max_proto_version(Context.CtxHandle), R.Pinned);
    }

    TNetSSLContext Unassigned;
    EXPECT_EQ(OpenSSLErrorOf([&] { Unassigned.SelectMethod(); }), "Mode has not been set.");
    EXPECT_THROW(Unassigned.SelectMethod(), ENetOSSLModeNotSet);
    TNetSSLContext Strange;
    Strange.Mode = TNetSSLMode::sslmClient;
    Strange.Method = static_cast<TNetSSLVersion>(7);
    EXPECT_EQ(OpenSSLErrorOf([&] { Strange.SelectMethod(); }), "Error geting SSL method.");
    EXPECT_THROW(Strange.Setup(TContextRole::crClient), ENetOSSLGetMethodError);

    // An unassigned Mode follows the role.
    TNetSSLContext Client, Server;
    Client.Setup(TContextRole::crClient);
    Server.CertFile = TestPKI().SelfCertFile;
    Server.KeyFile = TestPKI().SelfKeyFile;
    Server.Setup(TContextRole::crServer);
    EXPECT_EQ(Client.Mode, TNetSSLMode::sslmClient);
    EXPECT_EQ(Server.Mode, TNetSSLMode::sslmServer);
    EXPECT_EQ(SSL_CTX_get_ssl_method(Server.CtxHandle), TLS_server_method());
}

TEST(NetSSLOpenSSL, SetupFailuresRaiseTheirTexts)
{
    const std::string Missing = TestPKI().Dir + "/missing.pem";
    struct Row {
        const char* Name;
        std::function<void(TNetSSLOptions&)> Change;
        const char* Text;
        bool LoadError;
    };
    const Row Rows[] = {
        { "root", [&](TNetSSLOptions& O) { O.RootCertFile = Missing; }, "Could not load root certificate.",
            true },
        { "cert", [&](TNetSSLOptions& O) { O.CertFile = Missing; }, "Could not load certificate.", true },
        { "key missing",
            [&](TNetSSLOptions& O) {
                O.CertFile = TestPKI().SelfCertFile;
                O.KeyFile = Missing;
            },
            "Could not load key, check password.", true },
        { "key of another certificate",
            [&](TNetSSLOptions& O) {
                O.CertFile = TestPKI().SelfCertFile;
                O.KeyFile = TestPKI().LeafKeyFile;
            },
            "Could not load key, check password.", true },
        { "cipher", [](TNetSSLOptions& O) { O.CipherList = "NO-SUCH-CIPHER"; }, "SetCipher failed.", false },
        // Parts of the default list that match nothing here on their own.
        { "rc4 alone", [](TNetSSLOptions& O) { O.CipherList = "RC4+RSA"; }, "SetCipher failed.", false },
        { "export alone", [](TNetSSLOptions& O) { O.CipherList = "EXP"; }, "SetCipher failed.", false },
        { "fine", [](TNetSSLOptions&) {}, "(none)", false },
    };
    for (const Row& R : Rows) {
        TNetSSLOptions Options;
        R.Change(Options);
        TNetSSLContext Context;
        Context.AssignOptions(Options);
        bool LoadError = false;
        std::string Text = "(none)";
        try {
            Context.Setup(TContextRole::crClient);
        } catch (const ENetOpenSSLLoadError& E) {
            LoadError = true;
            Text = E.what();
        } catch (const ENetOpenSSLError& E) {
            Text = E.what();
        }
        EXPECT_EQ(Text, R.Text) << R.Name;
        EXPECT_EQ(LoadError, R.LoadError) << R.Name;
    }
}

TEST(NetSSLOpenSSL, DefaultCipherListIsAccepted)
{
    TNetSSLContext Context;
    Context.Setup(TContextRole::crClient);
    STACK_OF(SSL_CIPHER)* Ciphers = SSL_CTX_get_ciphers(Context.CtxHandle);
    ASSERT_NE(Ciphers, nullptr);
    std::vector<std::string> Names;
    for (int I = 0; I < sk_SSL_CIPHER_num(Ciphers); ++I)
        Names.push_back(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(Ciphers, I)));
    auto Has = [&](const std::string& AName) {
        return std::find(Names.begin(), Names.end(), AName) != Names.end();
    };
    EXPECT_GT(Names.size(), 20u);
    EXPECT_TRUE(Has("TLS_AES_256_GCM_SHA384"));
    EXPECT_TRUE(Has("ECDHE-ECDSA-AES256-GCM-SHA384"));
    for (const std::string& N : Names) {
        EXPECT_EQ(N.rfind("ADH-", 0), std::string::npos) << N;
        EXPECT_EQ(N.find("RC4"), std::string::npos) << N;
        EXPECT_EQ(N.find("EXP"), std::string::npos) << N;
    }
}

TEST(NetSSLOpenSSL, EncryptedKeyAsksTheOwnerForThePassword)
{
    TNetSSLOptions Options;
    Options.CertFile = TestPKI().SelfCertFile;
    Options.KeyFile = TestPKI().SelfKeyEncryptedFile;

    TRecordingSink Right;
    Right.Password = TTestPKI::Password;
    EXPECT_EQ(OpenSSLErrorOf([&] { ClientContext(&Right, Options); }), "(none)");
    EXPECT_GE(Right.PasswordCalls, 1);

    TRecordingSink Wrong;
    Wrong.Password = "not-it";
    EXPECT_EQ(OpenSSLErrorOf([&] { ClientContext(&Wrong, Options); }), "Could not load key, check password.");
    EXPECT_GE(Wrong.PasswordCalls, 1);

    EXPECT_EQ(
        OpenSSLErrorOf([&] { ClientContext(nullptr, Options); }), "Could not load key, check password.");
}

TEST(NetSSLOpenSSL, PasswordCallbackNeverWritesPastTheBuffer)
{
    TRecordingSink Sink;
    Sink.Password = "0123456789";
    TNetSSLContext Context;
    Context.Owner = &Sink;
    char Buffer[8];
    std::memset(Buffer, 'Z', sizeof Buffer);
    EXPECT_EQ(TLSPasswordCallback(Buffer, 4, 0, &Context), 3);
    EXPECT_EQ(std::string(Buffer, 4), std::string("012\0", 4));
    EXPECT_EQ(std::string(Buffer + 4, 4), "ZZZZ");
    EXPECT_EQ(TLSPasswordCallback(Buffer, 0, 0, &Context), 0);
    EXPECT_EQ(TLSPasswordCallback(Buffer, 8, 0, nullptr), 0);
    EXPECT_EQ(Buffer[0], '\0');
    EXPECT_EQ(TLSPasswordCallback(Buffer, 8, 0, &Context), 7);
    EXPECT_EQ(std::string(Buffer), "0123456");
}

TEST(NetSSLOpenSSL, ServerSideAcceptHandshake)
{
    TNetSSLContext ServerContext;
    ServerContext.CertFile = TestPKI().SelfCertFile;
    ServerContext.KeyFile = TestPKI().SelfKeyFile;
    ServerContext.Setup(TContextRole::crServer);
    int Port = 0;
    const int Listen = ListenLoopback(Port);
    ASSERT_GE(Listen, 0);

    TRecordingSink ServerSink;
    std::string ServerError = "(none)", ServerGot;
    std::thread ServerThread([&] {
        for (int Connection = 0; Connection < 2; ++Connection) {
            const int Accepted = ::accept(Listen, nullptr, nullptr);
            if (Accepted < 0)
                return;
            SetSocketLimits(Accepted);
            {
                TNetSSLSocket Session(&ServerSink);
                const std::string Error
                    = OpenSSLErrorOf([&] { Session.AcceptHandshake(Accepted, &ServerContext); });
                if (Connection == 0) {
                    ServerGot = ReadExactly(Session, 4);
                    WriteAll(Session, "pong");
                } else {
                    ServerError = Error;
                }
            }
            ::close(Accepted);
        }
    });

    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    {
        TClient Client(Port, &Sink);
        Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
        ASSERT_TRUE(WriteAll(*Client.Session, "ping"));
        EXPECT_EQ(ReadExactly(*Client.Session, 4), "pong");
    }
    {
        const int Plain = ConnectLoopback(Port); // gives up before any TLS byte
        ::close(Plain);
    }
    ServerThread.join();
    ::close(Listen);

    EXPECT_EQ(ServerGot, "ping");
    EXPECT_EQ(ServerError, "Error accepting connection with SSL.");
    ASSERT_EQ(ServerSink.Status.size(), 1u);
    EXPECT_EQ(ServerSink.Status[0].rfind("Cipher: name = TLS_", 0), 0u) << ServerSink.Status[0];
    EXPECT_EQ(ServerSink.Status[0], Sink.Status.at(0));
}

TEST(NetSSLOpenSSL, WithoutASessionReadsAndWritesFail)
{
    int Pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, Pair), 0);
    TNetSSLContext Context; // never set up: the library cannot make a session from it
    TRecordingSink Sink;
    TNetSSLSocket Session(&Sink);
    EXPECT_EQ(OpenSSLErrorOf([&] { Session.Handshake(Pair[0], &Context, "vardex.test"); }), "(none)");
    EXPECT_EQ(Session.SslHandle, nullptr);
    EXPECT_EQ(Session.Cipher(), nullptr);
    EXPECT_TRUE(Sink.Status.empty());
    char Buffer[16] = "data";
    errno = 0;
    EXPECT_EQ(Session.ReadTLS(Buffer, sizeof Buffer), -1);
    EXPECT_EQ(errno, ENOTCONN);
    errno = 0;
    EXPECT_EQ(Session.WriteTLS(Buffer, 4), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(Session.StatusText(), "Cipher: name = ; description = ; bits = 0; version = ; ");
    // Nothing went over the socket.
    EXPECT_EQ(::recv(Pair[1], Buffer, sizeof Buffer, MSG_DONTWAIT), -1);

    TNetSSLSocket Fresh;
    errno = 0;
    EXPECT_EQ(Fresh.ReadTLS(Buffer, sizeof Buffer), -1);
    EXPECT_EQ(errno, ENOTCONN);
    ::close(Pair[0]);
    ::close(Pair[1]);
}

TEST(NetSSLOpenSSL, PeerCloseReadsAsTheEndOfData)
{
    // Without a close notice (as many HTTP servers end a response) and with one.
    for (TServerBehaviour Behaviour :
        { TServerBehaviour::sbEchoOnceAndDrop, TServerBehaviour::sbHandshakeAndClose }) {
        TTLSTestServer Server({ "", "", Behaviour });
        TRecordingSink Sink;
        auto Context = ClientContext(&Sink);
        TClient Client(Server.Port(), &Sink);
        Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
        if (Behaviour == TServerBehaviour::sbEchoOnceAndDrop) {
            ASSERT_TRUE(WriteAll(*Client.Session, "last words"));
            EXPECT_EQ(ReadExactly(*Client.Session, 10), "last words");
        }
        char Buffer[64];
        EXPECT_EQ(Client.Session->ReadTLS(Buffer, sizeof Buffer), 0) << static_cast<int>(Behaviour);
        EXPECT_EQ(Client.Session->ReadTLS(Buffer, sizeof Buffer), 0) << static_cast<int>(Behaviour);
    }
}

TEST(NetSSLOpenSSL, WritingToAVanishedPeerFailsWithoutASignal)
{
    struct sigaction Old { };
    struct sigaction Default { };
    Default.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &Default, &Old);

    TTLSTestServer Server({ "", "", TServerBehaviour::sbHandshakeAndClose });
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    TClient Client(Server.Port(), &Sink);
    Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
    ASSERT_EQ(Server.WaitForRecords(1).size(), 1u); // the server has closed its socket

    const std::string Data(16384, 'x');
    int Result = 0, Error = 0;
    for (int Try = 0; Try < 50 && Result >= 0; ++Try) {
        errno = 0;
        Result = Client.Session->WriteTLS(Data.data(), static_cast<int>(Data.size()));
        Error = errno;
        if (Result >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Result, -1);
    EXPECT_TRUE(Error == EPIPE || Error == ECONNRESET) << Error;
    Client.Close(); // the close notice hits the gone peer too

    sigset_t Pending, Mask;
    sigpending(&Pending);
    pthread_sigmask(SIG_SETMASK, nullptr, &Mask);
    EXPECT_EQ(sigismember(&Pending, SIGPIPE), 0);
    EXPECT_EQ(sigismember(&Mask, SIGPIPE), 0);
    sigaction(SIGPIPE, &Old, nullptr);
}

TEST(NetSSLOpenSSL, ManyHandshakesLeaveNoLeak)
{
    constexpr int Connects = 40;
    TTLSTestServer Server({});
    const std::string Data(1024, 'v');
    const auto Start = std::chrono::steady_clock::now();
    for (int I = 0; I < Connects; ++I) {
        TRecordingSink Sink;
        auto Context = ClientContext(&Sink, {}, true);
        TClient Client(Server.Port(), &Sink);
        Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
        ASSERT_TRUE(WriteAll(*Client.Session, Data));
        ASSERT_EQ(ReadExactly(*Client.Session, Data.size()), Data);
    }
    const auto Records = Server.WaitForRecords(Connects);
    const double Ms
        = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - Start).count();
    std::printf("%d connects with handshake and 1 KiB echo: %.1f ms each\n", Connects, Ms / Connects);
    EXPECT_EQ(Records.size(), static_cast<size_t>(Connects));
#ifdef VARDEX_HAS_LSAN
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#endif
}

// Last: lets the libraries go under live objects, then loads them again.
TEST(NetSSLOpenSSL, ObjectsOutliveTheLibraries)
{
    TTLSTestServer Server({});
    TRecordingSink Sink;
    auto Context = ClientContext(&Sink);
    TClient Client(Server.Port(), &Sink);
    Client.Session->Handshake(Client.Socket, Context.get(), "vardex.test");
    SSL* Session = Client.Session->SslHandle;
    SSL_CTX* Handle = Context->CtxHandle;
    const int32_t Starts = TNetSSLContext::LibraryStarts();

    UnloadLibraries();
    EXPECT_FALSE(SSLLibrariesLoaded());
    char Buffer[8];
    errno = 0;
    EXPECT_EQ(Client.Session->ReadTLS(Buffer, sizeof Buffer), -1);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_EQ(Client.Session->StatusText(), "Cipher: name = ; description = ; bits = 0; version = ; ");
    EXPECT_THROW(Context->Setup(TContextRole::crClient), ENetOSSLCouldNotLoadSSLLibrary);
    Client.Session.reset(); // no call into the missing library
    Context.reset();
    // This program keeps the library mapped (it links it), so the objects are still there.
    SSL_free(Session);
    SSL_CTX_free(Handle);
    Client.Close();

    // The next context loads and starts the library again.
    auto Again = ClientContext(&Sink);
    EXPECT_TRUE(SSLLibrariesLoaded());
    EXPECT_EQ(TNetSSLContext::LibraryStarts(), Starts + 1);
    EXPECT_EQ(HandshakeError(Server.Port(), &Sink, Again.get()), "(none)");
}
