// Debian's libsqlite3, loaded the first time a history file is opened instead of when the
// program starts. Mapping it and resolving its symbols took a quarter of a millisecond of
// every vardex-check run, most of which never open a history; the window, which does, loads it
// at its first query as before.
#pragma once

#include <sqlite3.h>

// The functions the history calls, by their names without the sqlite3_ prefix.
#define VARDEX_SQLITE_FUNCTIONS(X)                                                                           \
    X(bind_int64)                                                                                            \
    X(bind_text)                                                                                             \
    X(busy_handler)                                                                                          \
    X(busy_timeout)                                                                                          \
    X(changes)                                                                                               \
    X(clear_bindings)                                                                                        \
    X(close_v2)                                                                                              \
    X(column_bytes)                                                                                          \
    X(column_int64)                                                                                          \
    X(column_text)                                                                                           \
    X(db_config)                                                                                             \
    X(db_handle)                                                                                             \
    X(db_readonly)                                                                                           \
    X(errmsg)                                                                                                \
    X(errstr)                                                                                                \
    X(exec)                                                                                                  \
    X(finalize)                                                                                              \
    X(free)                                                                                                  \
    X(open_v2)                                                                                               \
    X(prepare_v2)                                                                                            \
    X(progress_handler)                                                                                      \
    X(reset)                                                                                                 \
    X(sleep)                                                                                                 \
    X(step)                                                                                                  \
    X(wal_autocheckpoint)

struct TSqlite {
#define VARDEX_SQLITE_MEMBER(Name) decltype(&::sqlite3_##Name) Name = nullptr;
    VARDEX_SQLITE_FUNCTIONS(VARDEX_SQLITE_MEMBER)
#undef VARDEX_SQLITE_MEMBER
};

// The library's functions, loaded on the first call (safe from any thread). Throws
// std::runtime_error with the loader's reason when the library or one of them is missing;
// the next call tries again.
const TSqlite& Sqlite();
