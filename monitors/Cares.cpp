#include "monitors/Cares.h"

#include <atomic>
#include <dlfcn.h>
#include <mutex>

namespace {

// The soname of Debian's libc-ares2; the -dev package's unversioned link may be absent.
constexpr const char* CaresFile = "libcares.so.2";

std::mutex GLoadLock;
std::atomic<const TCares*> GLoaded { nullptr };
TCares GFunctions;

} // namespace

const TCares* LoadCares(const char*& AReason)
{
    AReason = nullptr;
    if (const TCares* Loaded = GLoaded.load(std::memory_order_acquire))
        return Loaded;
    std::lock_guard Guard(GLoadLock);
    if (const TCares* Loaded = GLoaded.load(std::memory_order_relaxed))
        return Loaded;
    void* Handle = ::dlopen(CaresFile, RTLD_NOW | RTLD_LOCAL);
    if (Handle == nullptr) {
        AReason = ::dlerror();
        return nullptr;
    }
    bool Complete = true;
#define VARDEX_CARES_FIND(Name)                                                                              \
    GFunctions.Name = reinterpret_cast<decltype(GFunctions.Name)>(::dlsym(Handle, "ares_" #Name));           \
    Complete = Complete && GFunctions.Name != nullptr;
    VARDEX_CARES_FUNCTIONS(VARDEX_CARES_FIND)
#undef VARDEX_CARES_FIND
    // ares_library_init is not thread-safe; it runs here, under the lock, once.
    if (!Complete || GFunctions.library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) {
        AReason = "libcares.so.2 is not the c-ares this program was built for";
        return nullptr;
    }
    GLoaded.store(&GFunctions, std::memory_order_release);
    return &GFunctions;
}

const TCares& Cares()
{
    return *GLoaded.load(std::memory_order_acquire);
}
