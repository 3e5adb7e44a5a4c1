// A self-signed certificate for "localhost" and 127.0.0.1, made with the openssl tool when the
// tests run, in a temporary folder that is removed again.
#pragma once

#include <cstdlib>
#include <stdlib.h>
#include <string>

namespace httptest {

// A folder under /tmp with a key and a self-signed certificate for "localhost" and 127.0.0.1.
class TTestCertificate {
public:
    TTestCertificate()
    {
        char Template[] = "/tmp/vardex-http-XXXXXX";
        if (mkdtemp(Template) == nullptr)
            return;
        Dir = Template;
        CertFile = Dir + "/cert.pem";
        KeyFile = Dir + "/key.pem";
        const std::string Command
            = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2"
              " -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.1"
              " -keyout "
            + KeyFile + " -out " + CertFile + " >/dev/null 2>&1";
        Made = std::system(Command.c_str()) == 0;
    }
    ~TTestCertificate()
    {
        if (!Dir.empty())
            (void)!std::system(("rm -rf " + Dir).c_str());
    }
    TTestCertificate(const TTestCertificate&) = delete;
    TTestCertificate& operator=(const TTestCertificate&) = delete;

    bool Made = false;
    std::string Dir, CertFile, KeyFile;
};

} // namespace httptest
