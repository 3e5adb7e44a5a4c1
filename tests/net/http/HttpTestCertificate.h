// Test certificates made with the openssl tool when the tests run, in a temporary folder that
// is removed again: a test authority (CAFile, to be trusted through SSL_CERT_FILE) and a key
// with a certificate of the kind asked for. The default is a good one for "localhost" and
// 127.0.0.1, issued by the test authority.
#pragma once

#include <cstdlib>
#include <fstream>
#include <stdlib.h>
#include <string>

namespace httptest {

enum class TCertificateKind {
    ckGood, // issued by the test authority for localhost and 127.0.0.1, valid for two days
    ckExpired, // the same names, but its validity ended yesterday
    ckSelfSigned, // the same names, signed by its own key
    ckOtherName, // issued by the test authority for another.test only
};

class TTestCertificate {
public:
    explicit TTestCertificate(TCertificateKind AKind = TCertificateKind::ckGood)
    {
        char Template[] = "/tmp/vardex-http-XXXXXX";
        if (mkdtemp(Template) == nullptr)
            return;
        Dir = Template;
        CAFile = Dir + "/ca.pem";
        CertFile = Dir + "/cert.pem";
        KeyFile = Dir + "/key.pem";
        const std::string Names = AKind == TCertificateKind::ckOtherName
            ? "DNS:another.test"
            : "DNS:localhost,IP:127.0.0.1,IP:::1";
        std::ofstream(Dir + "/ext") << "subjectAltName=" << Names << "\n";
        auto Run = [](const std::string& AArguments) {
            return std::system(("openssl " + AArguments + " >/dev/null 2>&1").c_str()) == 0;
        };
        const std::string NewKey = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
        bool Ok = Run("req -x509" + NewKey + " -days 2 -subj '/CN=Vardex Test CA'"
            + " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign"
            + " -keyout " + Dir + "/ca.key -out " + CAFile);
        if (Ok && AKind == TCertificateKind::ckSelfSigned)
            Ok = Run("req -x509" + NewKey + " -days 2 -subj /CN=localhost -addext subjectAltName=" + Names
                + " -keyout " + KeyFile + " -out " + CertFile);
        else if (Ok)
            Ok = Run("req -new" + NewKey + " -subj /CN=localhost -keyout " + KeyFile + " -out " + Dir
                     + "/cert.csr")
                && Run("x509 -req -in " + Dir + "/cert.csr -CA " + CAFile + " -CAkey " + Dir
                    + "/ca.key -set_serial 2 -extfile " + Dir + "/ext -out " + CertFile
                    + (AKind == TCertificateKind::ckExpired ? " -days -1" : " -days 2"));
        Made = Ok;
    }
    ~TTestCertificate()
    {
        if (!Dir.empty())
            (void)!std::system(("rm -rf " + Dir).c_str());
    }
    TTestCertificate(const TTestCertificate&) = delete;
    TTestCertificate& operator=(const TTestCertificate&) = delete;

    bool Made = false;
    std::string Dir, CAFile, CertFile, KeyFile;
};

// Trusts AFile (instead of the system's certificates) while it lives, through the variable
// the TLS library reads each time a verifying context loads its trusted certificates.
class TTrustScope {
public:
    explicit TTrustScope(const std::string& AFile)
    {
        if (const char* Old = getenv("SSL_CERT_FILE")) {
            FHad = true;
            FOld = Old;
        }
        setenv("SSL_CERT_FILE", AFile.c_str(), 1);
    }
    ~TTrustScope()
    {
        if (FHad)
            setenv("SSL_CERT_FILE", FOld.c_str(), 1);
        else
            unsetenv("SSL_CERT_FILE");
    }
    TTrustScope(const TTrustScope&) = delete;
    TTrustScope& operator=(const TTrustScope&) = delete;

private:
    bool FHad = false;
    std::string FOld;
};

} // namespace httptest
