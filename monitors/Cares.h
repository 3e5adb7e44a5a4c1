// Debian's c-ares, loaded at the first DNS check instead of when the program starts, so that
// lists without DNS monitors do not map and resolve it on every run.
#pragma once

#include <ares.h>

// The functions the DNS probe calls, by their names without the ares_ prefix.
#define VARDEX_CARES_FUNCTIONS(X)                                                                            \
    X(destroy)                                                                                               \
    X(free_data)                                                                                             \
    X(free_hostent)                                                                                          \
    X(get_servers_ports)                                                                                     \
    X(getsock)                                                                                               \
    X(init_options)                                                                                          \
    X(library_init)                                                                                          \
    X(parse_a_reply)                                                                                         \
    X(parse_aaaa_reply)                                                                                      \
    X(parse_mx_reply)                                                                                        \
    X(parse_ns_reply)                                                                                        \
    X(parse_txt_reply_ext)                                                                                   \
    X(process_fd)                                                                                            \
    X(query)                                                                                                 \
    X(set_servers_ports_csv)                                                                                 \
    X(set_socket_functions)                                                                                  \
    X(strerror)                                                                                              \
    X(timeout)

struct TCares {
#define VARDEX_CARES_MEMBER(Name) decltype(&::ares_##Name) Name = nullptr;
    VARDEX_CARES_FUNCTIONS(VARDEX_CARES_MEMBER)
#undef VARDEX_CARES_MEMBER
};

// The library's functions, loaded and initialised on the first call (safe from any thread);
// null, with the loader's reason in AReason, when the library or one of them is missing. The
// next call tries again.
const TCares* LoadCares(const char*& AReason);

// The loaded functions, for code that runs only after LoadCares succeeded.
const TCares& Cares();
