// The head of a request to the metrics server, read against the HTTP/1.1 message syntax
// rather than against the clients seen so far. Whatever two parsers on a client's path could
// read differently is refused, so a proxy in front and this server never disagree about where
// a request ends:
// - a Content-Length given twice (equal or not) or not a plain number, any Transfer-Encoding
//   (no request here has a body, so none is read), and a body announced at all;
// - whitespace between a field name and its colon, a line folded onto the one before it
//   (obs-fold), a bare CR, a control character in a value;
// - a request line that is not exactly method, target and HTTP/<digit>.<digit> with one space
//   between them; an HTTP/1.1 request without exactly one Host.
// Tokens lists (Connection) are split on commas and compared whole, never searched as text.
// The absolute form of a target (http://host:port/path, as a client speaking to a proxy sends
// it) is taken as its path.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct TRequestHead {
    enum TState {
        // No blank line yet, and what came so far can begin a request: read on.
        rhIncomplete,
        // Length bytes hold one whole head; its parts below.
        rhComplete,
        // Not a request this server takes: answer 400 and close. Refusal says why.
        rhRefused,
    };
    TState State = rhIncomplete;
    // The bytes of the head with its blank line, when complete.
    size_t Length = 0;
    std::string Refusal;
    std::string Method;
    // The target's path without its query: "/metrics" for "/metrics?x" and for
    // "http://127.0.0.1:9100/metrics".
    std::string Path;
    // 0 for HTTP/1.0, 1 for HTTP/1.1 (and for any later 1.x, read as 1.1).
    int Minor = 1;
    // The connection ends after the response: "close" among the Connection tokens, or
    // HTTP/1.0 without "keep-alive".
    bool Close = false;
    // The Accept lines joined with commas.
    std::string Accept;
};

// Reads the head at the start of ABytes (what a connection has sent so far). Pure: the same
// bytes give the same answer, so a caller may ask again as more arrive. Refused as soon as
// the bytes cannot begin a request line (a TLS hello or binary on the plain port), without
// waiting for the rest.
TRequestHead ParseRequestHead(std::string_view ABytes);
