// The run-time loader, in a program that does not link the TLS libraries: nothing of them is
// in the process until the loader opens them. The tests run in order and share that state.
#include "net/tls/NetSSLOpenSSL.h"
#include "net/tls/NetSSLOpenSSLHeaders.h"
#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

bool InProcess(const char* ASoname)
{
    void* Handle = dlopen(ASoname, RTLD_LAZY | RTLD_NOLOAD);
    if (Handle == nullptr)
        return false;
    dlclose(Handle);
    return true;
}

// Where the system keeps the crypto and TLS library files.
std::string SystemLibrary(const std::string& AName)
{
    for (const char* Dir : { "/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu",
             "/usr/lib/aarch64-linux-gnu", "/usr/lib64", "/lib64", "/usr/lib", "/lib" }) {
        const std::string Path = std::string(Dir) + "/" + AName;
        if (::access(Path.c_str(), R_OK) == 0)
            return Path;
    }
    return {};
}

std::string CouldNotLoadText()
{
    try {
        TNetSSLContext Context;
    } catch (const ENetOpenSSLLoadError& E) {
        return E.what();
    }
    return "(none)";
}

// A context kept by nobody when its library went away; parked here so that it counts as reachable.
SSL_CTX* volatile GAbandonedContext = nullptr;

} // namespace

TEST(NetSSLOpenSSLHeaders, NothingIsLoadedBeforeTheFirstContext)
{
    EXPECT_FALSE(InProcess("libssl.so.3"));
    EXPECT_FALSE(InProcess("libcrypto.so.3"));
    EXPECT_FALSE(SSLLibrariesLoaded());
    EXPECT_EQ(NetSSL_new, nullptr);
    EXPECT_EQ(TNetSSLContext::LibraryUsers(), 0);
}

TEST(NetSSLOpenSSLHeaders, MissingFilesFailAndALaterCallTriesAgain)
{
    ASSERT_EQ(TNetSSLContext::LibraryUsers(), 0);
    const testsupport::TTempFolder Folder("vardex-tls-libs");
    const std::string& Dir = Folder.Path();
    ASSERT_FALSE(Dir.empty());
    const std::string SSLLink = Dir + "/libssl.so.3", CryptoLink = Dir + "/libcrypto.so.3";
    SetSSLLibraryFilesForTest({ { SSLLink, CryptoLink } });

    EXPECT_FALSE(LoadLibraries());
    EXPECT_NE(LoadLibrariesFailure().find(CryptoLink), std::string::npos) << LoadLibrariesFailure();
    EXPECT_EQ(SSLEntryPointsFound(), 0);
    EXPECT_EQ(NetSSL_CTX_new, nullptr);
    EXPECT_EQ(CouldNotLoadText(), "Could not load SSL library.");
    EXPECT_THROW(TNetSSLContext(), ENetOSSLCouldNotLoadSSLLibrary);
    EXPECT_EQ(TNetSSLContext::LibraryUsers(), 0);
    EXPECT_EQ(TNetSSLContext::LibraryStarts(), 0);
    EXPECT_FALSE(InProcess("libssl.so.3"));

    // The files appear; the same names now load.
    const std::string RealSSL = SystemLibrary("libssl.so.3"), RealCrypto = SystemLibrary("libcrypto.so.3");
    ASSERT_FALSE(RealSSL.empty());
    ASSERT_EQ(::symlink(RealSSL.c_str(), SSLLink.c_str()), 0);
    ASSERT_EQ(::symlink(RealCrypto.c_str(), CryptoLink.c_str()), 0);
    {
        TNetSSLContext Context;
        EXPECT_TRUE(SSLLibrariesLoaded());
        EXPECT_EQ(LoadLibrariesFailure(), "");
        EXPECT_EQ(TNetSSLContext::LibraryUsers(), 1);
        EXPECT_EQ(TNetSSLContext::LibraryStarts(), 1);
        Context.Setup(TContextRole::crClient);
        EXPECT_NE(Context.CtxHandle, nullptr);
    }
    EXPECT_TRUE(InProcess("libssl.so.3"));
    // Once loaded, a call returns at once and changes nothing.
    void (*Before)(SSL*) = NetSSL_free;
    EXPECT_TRUE(LoadLibraries());
    EXPECT_EQ(NetSSL_free, Before);
}

TEST(NetSSLOpenSSLHeaders, CallsAreNeededVanishedNamesAreNot)
{
    SetSSLLibraryFilesForTest({});
    ASSERT_TRUE(LoadLibraries()) << LoadLibrariesFailure();
    // What the program calls.
    EXPECT_NE(NetOPENSSL_init_ssl, nullptr);
    EXPECT_NE(NetTLS_client_method, nullptr);
    EXPECT_NE(NetSSL_CTX_ctrl, nullptr);
    EXPECT_NE(NetSSL_ctrl, nullptr);
    EXPECT_NE(NetSSL_CTX_set_info_callback, nullptr);
    EXPECT_NE(NetX509_STORE_CTX_get_ex_data, nullptr);
    EXPECT_NE(NetSSL_CIPHER_description, nullptr);
    EXPECT_NE(NetX509_NAME_oneline, nullptr);
    // Names the current library generation no longer has.
    EXPECT_EQ(NetSSLv2_client_method, nullptr);
    EXPECT_EQ(NetSSLv3_client_method, nullptr);
    EXPECT_EQ(NetSSLv23_client_method, nullptr);
    EXPECT_EQ(NetSSL_library_init, nullptr);
    EXPECT_EQ(NetSSL_load_error_strings, nullptr);
    EXPECT_EQ(NetRAND_screen, nullptr);
    EXPECT_EQ(Netdes_set_odd_parity, nullptr);
    EXPECT_EQ(NetSSL_CTX_set_info_callback_ext, nullptr);
    EXPECT_EQ(NetX509_STORE_CTX_get_app_data_ext, nullptr);
    EXPECT_EQ(NetX509_get_notAfter_ext, nullptr);
    // Optional names that are still there are used.
    EXPECT_NE(NetTLSv1_client_method, nullptr);
    EXPECT_NE(NetEVP_md5, nullptr);
    const int32_t Vanished = 3 * 3 /* SSLv2, SSLv3, SSLv23 methods */ + 2 /* start-up */ + 8 /* _ext */
        + 1 /* RAND_screen */ + 3 /* des */ + 2 /* peer certificate, name hash */;
    EXPECT_EQ(SSLEntryPointsFound(), SSLEntryPointCount() - Vanished);
}

TEST(NetSSLOpenSSLHeaders, IncompleteLibrariesAreRefused)
{
    // The crypto library opened as if it were the TLS library: the TLS calls are missing.
    SetSSLLibraryFilesForTest({ { "libcrypto.so.3", "libcrypto.so.3" } });
    EXPECT_FALSE(LoadLibraries());
    EXPECT_EQ(LoadLibrariesFailure(),
        "entry point SSL_CTX_set_cipher_list not found in libcrypto.so.3 / libcrypto.so.3");
    EXPECT_GT(SSLEntryPointsFound(), 0);
    EXPECT_LT(SSLEntryPointsFound(), SSLEntryPointCount());
    EXPECT_FALSE(SSLLibrariesLoaded());
    EXPECT_EQ(NetX509_NAME_oneline, nullptr); // nothing is kept from a refused pair
    EXPECT_EQ(CouldNotLoadText(), "Could not load SSL library.");
}

TEST(NetSSLOpenSSLHeaders, LaterPairsAreTriedInOrder)
{
    SetSSLLibraryFilesForTest(
        { { "libvardex-none-ssl.so", "libvardex-none-crypto.so" }, { "libssl.so.3", "libcrypto.so.3" } });
    EXPECT_TRUE(LoadLibraries());
    EXPECT_EQ(LoadLibrariesFailure(), "");
    EXPECT_EQ(DefaultSSLLibraryFiles().front().SSLFile, "libssl.so.3");
    EXPECT_EQ(DefaultSSLLibraryFiles().front().CryptoFile, "libcrypto.so.3");
}

TEST(NetSSLOpenSSLHeaders, UnloadingLeavesLiveContextsHarmless)
{
    SetSSLLibraryFilesForTest({});
    auto Context = std::make_unique<TNetSSLContext>();
    Context->Setup(TContextRole::crClient);
    const int32_t Starts = TNetSSLContext::LibraryStarts();
    GAbandonedContext = Context->CtxHandle;

    UnloadLibraries();
    EXPECT_FALSE(SSLLibrariesLoaded());
    EXPECT_EQ(NetSSL_CTX_free, nullptr);
    Context.reset(); // must not call the freed entry point
    UnloadLibraries(); // twice is harmless

    TNetSSLContext Again; // loads and starts once more
    EXPECT_TRUE(SSLLibrariesLoaded());
    EXPECT_EQ(TNetSSLContext::LibraryStarts(), Starts + 1);
    Again.Setup(TContextRole::crClient);
    EXPECT_NE(Again.CtxHandle, nullptr);
}
