#include "history/Sqlite.h"

#include <atomic>
#include <dlfcn.h>
#include <mutex>
#include <stdexcept>
#include <string>

namespace {

// The soname of Debian's libsqlite3-0; the -dev package's unversioned link may be absent.
constexpr const char* SqliteFile = "libsqlite3.so.0";

std::mutex GLoadLock;
std::atomic<const TSqlite*> GLoaded { nullptr };
TSqlite GFunctions;

template <typename TFunction> void Find(void* AHandle, const char* AName, TFunction& AFunction)
{
    AFunction = reinterpret_cast<TFunction>(::dlsym(AHandle, AName));
    if (AFunction == nullptr)
        throw std::runtime_error(std::string(SqliteFile) + " has no " + AName);
}

} // namespace

const TSqlite& Sqlite()
{
    if (const TSqlite* Loaded = GLoaded.load(std::memory_order_acquire))
        return *Loaded;
    std::lock_guard Guard(GLoadLock);
    if (const TSqlite* Loaded = GLoaded.load(std::memory_order_relaxed))
        return *Loaded;
    // Kept loaded for the life of the process: statements and connections may outlive any
    // one user of the history.
    void* Handle = ::dlopen(SqliteFile, RTLD_NOW | RTLD_LOCAL);
    if (Handle == nullptr) {
        const char* Reason = ::dlerror();
        throw std::runtime_error(Reason ? Reason : std::string(SqliteFile) + " cannot be loaded");
    }
#define VARDEX_SQLITE_FIND(Name) Find(Handle, "sqlite3_" #Name, GFunctions.Name);
    VARDEX_SQLITE_FUNCTIONS(VARDEX_SQLITE_FIND)
#undef VARDEX_SQLITE_FIND
    GLoaded.store(&GFunctions, std::memory_order_release);
    return GFunctions;
}
