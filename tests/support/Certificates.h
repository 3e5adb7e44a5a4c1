// Test certificates made with the TLS library when the tests run, in a temporary folder that
// is removed again. TTestCertificate: a test authority (CAFile, to be trusted through
// SSL_CERT_FILE) and a key with a certificate of the kind asked for; the default is a good one
// for "localhost" and 127.0.0.1, issued by the test authority. The makers below it serve
// tests that need other chains.
#pragma once

#include "support/TempFolder.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace testsupport {

inline EVP_PKEY* MakeKey()
{
    EVP_PKEY* Key = EVP_EC_gen("P-256");
    if (Key == nullptr)
        throw std::runtime_error("key generation failed");
    return Key;
}

inline void AddExtension(X509* ACert, X509* AIssuer, int ANid, const char* AValue)
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

// A certificate for AKey named ACommonName with the subject alternative names AAltNames (none
// when empty), valid from ANotBefore to ANotAfter seconds from now, signed by AIssuerKey as
// AIssuer (itself when null).
inline X509* MakeCertificate(EVP_PKEY* AKey, const char* ACommonName, long ASerial, bool ACA,
    const std::string& AAltNames, X509* AIssuer = nullptr, EVP_PKEY* AIssuerKey = nullptr,
    long ANotBefore = -3600, long ANotAfter = 30L * 24 * 3600)
{
    X509* Cert = X509_new();
    X509_set_version(Cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(Cert), ASerial);
    X509_gmtime_adj(X509_getm_notBefore(Cert), ANotBefore);
    X509_gmtime_adj(X509_getm_notAfter(Cert), ANotAfter);
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
    // Names the issuer's key, so that another authority of the same name is no match.
    if (AIssuer != nullptr)
        AddExtension(Cert, Issuer, NID_authority_key_identifier, "keyid:always");
    if (!AAltNames.empty())
        AddExtension(Cert, Issuer, NID_subject_alt_name, AAltNames.c_str());
    if (X509_sign(Cert, AIssuerKey != nullptr ? AIssuerKey : AKey, EVP_sha256()) <= 0)
        throw std::runtime_error("signing failed");
    return Cert;
}

inline void WriteCert(const std::string& AFile, X509* ACert)
{
    FILE* F = std::fopen(AFile.c_str(), "w");
    if (F == nullptr || PEM_write_X509(F, ACert) != 1)
        throw std::runtime_error("cannot write " + AFile);
    std::fclose(F);
}

inline void WriteKey(const std::string& AFile, EVP_PKEY* AKey, const char* APassword = nullptr)
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

enum class TCertificateKind {
    ckGood, // issued by the test authority for localhost and 127.0.0.1, valid for ADays days
    ckExpired, // the same names, but its validity ended yesterday
    ckSelfSigned, // the same names, signed by its own key
    ckOtherName, // issued by the test authority for another.test only
    ckCommonNameOnly, // issued by the test authority with the Common Name localhost and no subjectAltName
};

class TTestCertificate {
public:
    // ADays: how long the certificate is valid from now (ckExpired aside); the authority's
    // own lasts ACADays, or a day longer than the certificate when ACADays is 0.
    explicit TTestCertificate(
        TCertificateKind AKind = TCertificateKind::ckGood, int ADays = 2, int ACADays = 0)
    {
        Dir = FFolder.Path();
        if (Dir.empty())
            return;
        CAFile = Dir + "/ca.pem";
        CertFile = Dir + "/cert.pem";
        KeyFile = Dir + "/key.pem";
        const std::string Names = AKind == TCertificateKind::ckOtherName ? "DNS:another.test"
            : AKind == TCertificateKind::ckCommonNameOnly                ? ""
                                                          : "DNS:localhost,IP:127.0.0.1,IP:::1";
        const long Day = 24 * 3600;
        const bool Self = AKind == TCertificateKind::ckSelfSigned;
        const bool Expired = AKind == TCertificateKind::ckExpired;
        using TKey = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
        using TCert = std::unique_ptr<X509, decltype(&X509_free)>;
        try {
            TKey CAKey(MakeKey(), EVP_PKEY_free), Key(MakeKey(), EVP_PKEY_free);
            TCert CA(MakeCertificate(CAKey.get(), "Vardex Test CA", 1, true, "", nullptr, nullptr, 0,
                         (ACADays > 0 ? ACADays : ADays + 1) * Day),
                X509_free);
            WriteCert(CAFile, CA.get());
            TCert Cert(
                MakeCertificate(Key.get(), "localhost", 2, Self, Names, Self ? nullptr : CA.get(),
                    Self ? nullptr : CAKey.get(), Expired ? -2 * Day : 0, Expired ? -Day : ADays * Day),
                X509_free);
            WriteCert(CertFile, Cert.get());
            WriteKey(KeyFile, Key.get());
            Made = true;
        } catch (const std::runtime_error&) {
        }
    }
    TTestCertificate(const TTestCertificate&) = delete;
    TTestCertificate& operator=(const TTestCertificate&) = delete;

private:
    TTempFolder FFolder { "vardex-http" };

public:
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

} // namespace testsupport
