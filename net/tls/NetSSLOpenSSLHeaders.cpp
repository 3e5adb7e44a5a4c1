#include "net/tls/NetSSLOpenSSLHeaders.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>

#define VARDEX_OPENSSL_DEFINE(Library, Required, Ret, Name, Params) Ret(*Net##Name) Params = nullptr;
VARDEX_OPENSSL_ENTRY_POINTS(VARDEX_OPENSSL_DEFINE)
#undef VARDEX_OPENSSL_DEFINE

namespace {

static_assert(sizeof(void*) == sizeof(void (*)()), "dlsym results are stored in function pointers");

struct TNetSSLEntryPoint {
    const char* Name;
    TNetSSLLibrary Library;
    bool Required;
    // Stores an address found by dlsym (or nullptr) in the entry's pointer.
    void (*Assign)(void* AAddress);
};

#define VARDEX_OPENSSL_ENTRY(Library, Required, Ret, Name, Params)                                           \
    { #Name, TNetSSLLibrary::Library, Required,                                                              \
        [](void* AAddress) { std::memcpy(&Net##Name, &AAddress, sizeof AAddress); } },
const TNetSSLEntryPoint GEntryPoints[] = { VARDEX_OPENSSL_ENTRY_POINTS(VARDEX_OPENSSL_ENTRY) };
#undef VARDEX_OPENSSL_ENTRY

constexpr int32_t GEntryPointCount = sizeof GEntryPoints / sizeof GEntryPoints[0];

// Loading is rare and may be asked for from any thread that connects; one lock keeps the
// handles and the table consistent.
std::mutex GLoadLock;
void* GSSLHandle = nullptr;
void* GCryptoHandle = nullptr;
std::atomic<bool> GLoaded { false };
std::string GFailure;
int32_t GFound = 0;
std::vector<TNetSSLLibraryFiles> GFilesForTest;

void ClearEntryPoints()
{
    for (const TNetSSLEntryPoint& Entry : GEntryPoints)
        Entry.Assign(nullptr);
}

// Caller holds GLoadLock.
void CloseHandles()
{
    GLoaded = false;
    ClearEntryPoints();
    if (GSSLHandle != nullptr)
        dlclose(GSSLHandle);
    if (GCryptoHandle != nullptr)
        dlclose(GCryptoHandle);
    GSSLHandle = nullptr;
    GCryptoHandle = nullptr;
    GFound = 0;
}

std::string LastDlError(const std::string& AFile)
{
    const char* Text = dlerror();
    return Text != nullptr ? std::string(Text) : AFile + ": cannot be loaded";
}

// One attempt with one pair of files. Caller holds GLoadLock; on failure everything is closed.
bool TryFiles(const TNetSSLLibraryFiles& AFiles)
{
    // Each library is opened locally: its names must not be used to resolve anyone else's.
    GFailure.clear();
    GCryptoHandle = dlopen(AFiles.CryptoFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (GCryptoHandle == nullptr)
        GFailure = LastDlError(AFiles.CryptoFile);
    GSSLHandle = dlopen(AFiles.SSLFile.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (GSSLHandle == nullptr && GFailure.empty())
        GFailure = LastDlError(AFiles.SSLFile);

    // A missing library leaves its entry points unresolved; every name is still looked up so
    // that the count says how complete the libraries were.
    std::string Missing;
    GFound = 0;
    for (const TNetSSLEntryPoint& Entry : GEntryPoints) {
        void* Handle = Entry.Library == TNetSSLLibrary::nslSSL ? GSSLHandle : GCryptoHandle;
        void* Address = Handle != nullptr ? dlsym(Handle, Entry.Name) : nullptr;
        Entry.Assign(Address);
        if (Address != nullptr)
            ++GFound;
        else if (Entry.Required && Missing.empty())
            Missing = Entry.Name;
    }
    if (GSSLHandle != nullptr && GCryptoHandle != nullptr && Missing.empty()) {
        GFailure.clear();
        GLoaded = true;
        return true;
    }
    if (GSSLHandle != nullptr && GCryptoHandle != nullptr)
        GFailure = "entry point " + Missing + " not found in " + AFiles.SSLFile + " / " + AFiles.CryptoFile;
    int32_t Found = GFound;
    CloseHandles();
    GFound = Found;
    return false;
}

} // namespace

std::vector<TNetSSLLibraryFiles> DefaultSSLLibraryFiles()
{
    // Only names of the library itself: another package ships a "libssl3.so" that is not it.
    return { { "libssl.so.3", "libcrypto.so.3" }, { "libssl.so", "libcrypto.so" } };
}

bool LoadLibraries()
{
    if (GLoaded)
        return true;
    std::lock_guard<std::mutex> Lock(GLoadLock);
    if (GLoaded)
        return true;
    const std::vector<TNetSSLLibraryFiles> Files
        = GFilesForTest.empty() ? DefaultSSLLibraryFiles() : GFilesForTest;
    std::string FirstFailure;
    for (const TNetSSLLibraryFiles& Pair : Files) {
        if (TryFiles(Pair))
            return true;
        // The first pair is the one expected to be there; its failure says the most.
        if (FirstFailure.empty())
            FirstFailure = GFailure;
    }
    GFailure = FirstFailure.empty() ? "no library files to load" : FirstFailure;
    return false;
}

void UnloadLibraries()
{
    std::lock_guard<std::mutex> Lock(GLoadLock);
    CloseHandles();
}

bool SSLLibrariesLoaded()
{
    return GLoaded;
}

std::string LoadLibrariesFailure()
{
    std::lock_guard<std::mutex> Lock(GLoadLock);
    return GFailure;
}

int32_t SSLEntryPointsFound()
{
    std::lock_guard<std::mutex> Lock(GLoadLock);
    return GFound;
}

int32_t SSLEntryPointCount()
{
    return GEntryPointCount;
}

void SetSSLLibraryFilesForTest(std::vector<TNetSSLLibraryFiles> AFiles)
{
    std::lock_guard<std::mutex> Lock(GLoadLock);
    CloseHandles();
    GFailure.clear();
    GFilesForTest = std::move(AFiles);
}
