// The TLS libraries, loaded when the first TLS context is made and looked up entry by entry.
// Nothing of them is linked into the program: a plain HTTP check must work on a machine
// without them, and the program must start there. Their headers give only types and constants;
// every call goes through one of the pointers below, each named "Net" plus the exported name.
#pragma once

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <string>
#include <vector>

// Which library file an entry point is looked up in.
enum class TNetSSLLibrary { nslSSL, nslCrypto };

// X(Library, Required, ReturnType, ExportedName, ParameterList)
// Required entries are the ones the program calls; a library without one of them is refused.
// Optional entries are names the program was built around that current libraries no longer
// export (the old method constructors, the start-up and "_ext" wrappers, the DES calls) or
// helpers that only add detail; each is used only where it was found.
// The name is only ever pasted or quoted, so names that the headers define as macros (the old
// method constructors, SSL_library_init, ...) pass through untouched.
#define VARDEX_OPENSSL_ENTRY_POINTS(X)                                                                       \
    /* The names the program was written against, TLS library. */                                            \
    X(nslSSL, true, int, SSL_CTX_set_cipher_list, (SSL_CTX*, const char*))                                   \
    X(nslSSL, true, SSL_CTX*, SSL_CTX_new, (const SSL_METHOD*))                                              \
    X(nslSSL, true, void, SSL_CTX_free, (SSL_CTX*))                                                          \
    X(nslSSL, true, int, SSL_set_fd, (SSL*, int))                                                            \
    X(nslSSL, true, int, SSL_CTX_use_PrivateKey_file, (SSL_CTX*, const char*, int))                          \
    X(nslSSL, true, int, SSL_CTX_use_certificate_file, (SSL_CTX*, const char*, int))                         \
    X(nslSSL, false, void, SSL_load_error_strings, (void))                                                   \
    X(nslSSL, true, const char*, SSL_state_string_long, (const SSL*))                                        \
    X(nslSSL, false, X509*, SSL_get_peer_certificate, (const SSL*))                                          \
    X(nslSSL, true, void, SSL_CTX_set_verify, (SSL_CTX*, int, SSL_verify_cb))                                \
    X(nslSSL, true, void, SSL_CTX_set_verify_depth, (SSL_CTX*, int))                                         \
    X(nslSSL, false, int, SSL_CTX_get_verify_depth, (const SSL_CTX*))                                        \
    X(nslSSL, true, void, SSL_CTX_set_default_passwd_cb, (SSL_CTX*, pem_password_cb*))                       \
    X(nslSSL, true, void, SSL_CTX_set_default_passwd_cb_userdata, (SSL_CTX*, void*))                         \
    X(nslSSL, true, int, SSL_CTX_check_private_key, (const SSL_CTX*))                                        \
    X(nslSSL, true, SSL*, SSL_new, (SSL_CTX*))                                                               \
    X(nslSSL, true, void, SSL_free, (SSL*))                                                                  \
    X(nslSSL, true, int, SSL_accept, (SSL*))                                                                 \
    X(nslSSL, true, int, SSL_connect, (SSL*))                                                                \
    X(nslSSL, true, int, SSL_read, (SSL*, void*, int))                                                       \
    X(nslSSL, true, int, SSL_peek, (SSL*, void*, int))                                                       \
    X(nslSSL, true, int, SSL_write, (SSL*, const void*, int))                                                \
    X(nslSSL, true, int, SSL_get_error, (const SSL*, int))                                                   \
    X(nslSSL, false, const SSL_METHOD*, SSLv2_method, (void))                                                \
    X(nslSSL, false, const SSL_METHOD*, SSLv2_server_method, (void))                                         \
    X(nslSSL, false, const SSL_METHOD*, SSLv2_client_method, (void))                                         \
    X(nslSSL, false, const SSL_METHOD*, SSLv3_method, (void))                                                \
    X(nslSSL, false, const SSL_METHOD*, SSLv3_server_method, (void))                                         \
    X(nslSSL, false, const SSL_METHOD*, SSLv3_client_method, (void))                                         \
    X(nslSSL, false, const SSL_METHOD*, SSLv23_method, (void))                                               \
    X(nslSSL, false, const SSL_METHOD*, SSLv23_server_method, (void))                                        \
    X(nslSSL, false, const SSL_METHOD*, SSLv23_client_method, (void))                                        \
    X(nslSSL, false, const SSL_METHOD*, TLSv1_method, (void))                                                \
    X(nslSSL, false, const SSL_METHOD*, TLSv1_server_method, (void))                                         \
    X(nslSSL, false, const SSL_METHOD*, TLSv1_client_method, (void))                                         \
    X(nslSSL, true, int, SSL_shutdown, (SSL*))                                                               \
    X(nslSSL, false, void, SSL_set_connect_state, (SSL*))                                                    \
    X(nslSSL, false, void, SSL_set_accept_state, (SSL*))                                                     \
    X(nslSSL, false, void, SSL_set_shutdown, (SSL*, int))                                                    \
    X(nslSSL, true, int, SSL_CTX_load_verify_locations, (SSL_CTX*, const char*, const char*))                \
    X(nslSSL, false, SSL_SESSION*, SSL_get_session, (const SSL*))                                            \
    X(nslSSL, false, int, SSL_library_init, (void))                                                          \
    X(nslSSL, false, void, SSL_CTX_set_info_callback_ext, (SSL_CTX*, void (*)(const SSL*, int, int)))        \
    X(nslSSL, false, void*, X509_STORE_CTX_get_app_data_ext, (X509_STORE_CTX*))                              \
    X(nslSSL, false, void, SSL_SESSION_get_id_ext, (SSL_SESSION*, unsigned char**, int*))                    \
    X(nslSSL, false, void, SSL_SESSION_get_id_ctx_ext, (SSL_SESSION*, unsigned char**, int*))                \
    X(nslSSL, false, int, SSL_CTX_get_version_ext, (SSL_CTX*))                                               \
    X(nslSSL, false, long, SSL_CTX_set_options_ext, (SSL_CTX*, long))                                        \
    X(nslSSL, false, unsigned long, X509_NAME_hash, (X509_NAME*))                                            \
    X(nslSSL, false, int, X509_digest, (const X509*, const EVP_MD*, unsigned char*, unsigned int*))          \
    X(nslSSL, false, const EVP_MD*, EVP_md5, (void))                                                         \
    X(nslSSL, false, ASN1_TIME*, X509_get_notBefore_ext, (X509*))                                            \
    X(nslSSL, false, ASN1_TIME*, X509_get_notAfter_ext, (X509*))                                             \
    X(nslSSL, true, int, SSL_set_ex_data, (SSL*, int, void*))                                                \
    X(nslSSL, true, void*, SSL_get_ex_data, (const SSL*, int))                                               \
    X(nslSSL, true, STACK_OF(X509_NAME)*, SSL_load_client_CA_file, (const char*))                            \
    X(nslSSL, true, void, SSL_CTX_set_client_CA_list, (SSL_CTX*, STACK_OF(X509_NAME)*))                      \
    X(nslSSL, true, int, SSL_CTX_set_default_verify_paths, (SSL_CTX*))                                       \
    X(nslSSL, true, int, SSL_CTX_set_session_id_context, (SSL_CTX*, const unsigned char*, unsigned int))     \
    X(nslSSL, true, char*, SSL_CIPHER_description, (const SSL_CIPHER*, char*, int))                          \
    X(nslSSL, true, const SSL_CIPHER*, SSL_get_current_cipher, (const SSL*))                                 \
    X(nslSSL, true, const char*, SSL_CIPHER_get_name, (const SSL_CIPHER*))                                   \
    X(nslSSL, true, const char*, SSL_CIPHER_get_version, (const SSL_CIPHER*))                                \
    X(nslSSL, true, int, SSL_CIPHER_get_bits, (const SSL_CIPHER*, int*))                                     \
    /* The names the program was written against, crypto library. */                                         \
    X(nslCrypto, true, char*, X509_NAME_oneline, (const X509_NAME*, char*, int))                             \
    X(nslCrypto, false, int, X509_set_issuer_name, (X509*, const X509_NAME*))                                \
    X(nslCrypto, true, X509_NAME*, X509_get_issuer_name, (const X509*))                                      \
    X(nslCrypto, false, int, X509_set_subject_name, (X509*, const X509_NAME*))                               \
    X(nslCrypto, true, X509_NAME*, X509_get_subject_name, (const X509*))                                     \
    X(nslCrypto, false, int, X509_STORE_CTX_get_error, (const X509_STORE_CTX*))                              \
    X(nslCrypto, false, void, X509_STORE_CTX_set_error, (X509_STORE_CTX*, int))                              \
    X(nslCrypto, true, int, X509_STORE_CTX_get_error_depth, (const X509_STORE_CTX*))                         \
    X(nslCrypto, true, X509*, X509_STORE_CTX_get_current_cert, (const X509_STORE_CTX*))                      \
    X(nslCrypto, false, void, RAND_screen, (void))                                                           \
    X(nslCrypto, false, void, des_set_odd_parity, (void*))                                                   \
    X(nslCrypto, false, int, des_set_key, (void*, void*))                                                    \
    X(nslCrypto, false, void, des_ecb_encrypt, (void*, void*, void*, int))                                   \
    /* What current libraries offer in place of the vanished names above. */                                 \
    X(nslSSL, true, int, OPENSSL_init_ssl, (uint64_t, const OPENSSL_INIT_SETTINGS*))                         \
    X(nslSSL, true, const SSL_METHOD*, TLS_method, (void))                                                   \
    X(nslSSL, true, const SSL_METHOD*, TLS_server_method, (void))                                            \
    X(nslSSL, true, const SSL_METHOD*, TLS_client_method, (void))                                            \
    X(nslSSL, true, long, SSL_CTX_ctrl, (SSL_CTX*, int, long, void*))                                        \
    X(nslSSL, true, long, SSL_ctrl, (SSL*, int, long, void*))                                                \
    X(nslSSL, true, void, SSL_CTX_set_info_callback, (SSL_CTX*, void (*)(const SSL*, int, int)))             \
    X(nslSSL, true, int, SSL_get_ex_data_X509_STORE_CTX_idx, (void))                                         \
    X(nslSSL, false, uint64_t, SSL_CTX_set_options, (SSL_CTX*, uint64_t))                                    \
    X(nslSSL, true, int, SSL_pending, (const SSL*))                                                          \
    X(nslCrypto, true, void*, X509_STORE_CTX_get_ex_data, (const X509_STORE_CTX*, int))                      \
    X(nslCrypto, true, void, ERR_clear_error, (void))                                                        \
    X(nslCrypto, true, void, CRYPTO_free, (void*, const char*, int))                                         \
    X(nslCrypto, false, const ASN1_TIME*, X509_get0_notBefore, (const X509*))                                \
    X(nslCrypto, false, const ASN1_TIME*, X509_get0_notAfter, (const X509*))                                 \
    X(nslCrypto, false, const unsigned char*, ASN1_STRING_get0_data, (const ASN1_STRING*))                   \
    X(nslCrypto, false, int, ASN1_STRING_length, (const ASN1_STRING*))                                       \
    /* Verification of the server: its name or address, and why a handshake failed. */                       \
    X(nslSSL, true, long, SSL_get_verify_result, (const SSL*))                                               \
    X(nslSSL, true, X509_VERIFY_PARAM*, SSL_get0_param, (SSL*))                                              \
    X(nslCrypto, true, int, X509_VERIFY_PARAM_set1_host, (X509_VERIFY_PARAM*, const char*, size_t))          \
    X(nslCrypto, true, int, X509_VERIFY_PARAM_set1_ip_asc, (X509_VERIFY_PARAM*, const char*))                \
    X(nslCrypto, true, void, X509_VERIFY_PARAM_set_hostflags, (X509_VERIFY_PARAM*, unsigned int))            \
    X(nslCrypto, true, const char*, X509_verify_cert_error_string, (long))                                   \
    X(nslCrypto, true, unsigned long, ERR_peek_last_error, (void))                                           \
    X(nslCrypto, true, const char*, ERR_reason_error_string, (unsigned long))                                \
    /* Why a server would not talk: a client certificate it asked for, a protocol it would not */            \
    /* speak (offered by ALPN), the protocol version it chose. */                                            \
    X(nslSSL, false, void, SSL_set_cert_cb, (SSL*, int (*)(SSL*, void*), void*))                             \
    X(nslSSL, false, int, SSL_set_alpn_protos, (SSL*, const unsigned char*, unsigned int))                   \
    X(nslSSL, false, int, SSL_version, (const SSL*))                                                         \
    /* The library's default places of trusted certificates, and the variables that move them. */            \
    X(nslCrypto, true, const char*, X509_get_default_cert_file, (void))                                      \
    X(nslCrypto, true, const char*, X509_get_default_cert_file_env, (void))                                  \
    X(nslCrypto, true, const char*, X509_get_default_cert_dir, (void))                                       \
    X(nslCrypto, true, const char*, X509_get_default_cert_dir_env, (void))                                   \
    /* When the server's certificates expire: the leaf, and the chain the verification built. */             \
    X(nslSSL, false, X509*, SSL_get1_peer_certificate, (const SSL*))                                         \
    X(nslSSL, false, STACK_OF(X509)*, SSL_get0_verified_chain, (const SSL*))                                 \
    X(nslCrypto, false, void, X509_free, (X509*))                                                            \
    X(nslCrypto, false, int, OPENSSL_sk_num, (const OPENSSL_STACK*))                                         \
    X(nslCrypto, false, void*, OPENSSL_sk_value, (const OPENSSL_STACK*, int))                                \
    X(nslCrypto, false, int, ASN1_TIME_to_tm, (const ASN1_TIME*, struct tm*))

#define VARDEX_OPENSSL_DECLARE(Library, Required, Ret, Name, Params) extern Ret(*Net##Name) Params;
VARDEX_OPENSSL_ENTRY_POINTS(VARDEX_OPENSSL_DECLARE)
#undef VARDEX_OPENSSL_DECLARE

// One pair of library files to try; the crypto library is opened first, as the TLS library
// depends on it.
struct TNetSSLLibraryFiles {
    std::string SSLFile;
    std::string CryptoFile;
};

// The file pairs tried in order: the versioned names of the library generation the program is
// written for, then the unversioned development names.
std::vector<TNetSSLLibraryFiles> DefaultSSLLibraryFiles();

// Opens the libraries and looks every entry point up. Returns true at once after an earlier
// success; after a failure it tries again. Never raises: the caller reports the failure.
bool LoadLibraries();
// Closes both libraries and clears every entry point. Objects that still hold a context or a
// session find the libraries gone and skip their clean-up calls.
void UnloadLibraries();
// True between a successful LoadLibraries and the next UnloadLibraries.
bool SSLLibrariesLoaded();
// Why the last LoadLibraries failed (the loader's message or the first missing entry point);
// empty after a success.
std::string LoadLibrariesFailure();
// The number of entry points found by the last LoadLibraries, and the size of the table.
int32_t SSLEntryPointsFound();
int32_t SSLEntryPointCount();

// Test hook: unloads, then makes LoadLibraries try AFiles instead of the default pairs
// (an empty list restores the defaults).
void SetSSLLibraryFilesForTest(std::vector<TNetSSLLibraryFiles> AFiles);
