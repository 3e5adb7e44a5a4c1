// Request heads as a client of the metrics server sends them, a buffer at a time: every prefix
// of the input is read as the server reads a connection's bytes so far, and the answers must
// agree with the whole input's (a head refused early stays refused, one complete stays the same).
#include "tools/RequestHead.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    const std::string_view Input(reinterpret_cast<const char*>(AData), ASize);
    const TRequestHead Whole = ParseRequestHead(Input);
    if (Whole.State == TRequestHead::rhComplete
        && (Whole.Length == 0 || Whole.Length > ASize || Whole.Path.empty() || Whole.Method.empty()))
        std::abort();
    // The prefixes a few bytes apart, as a slow client's reads would come.
    const size_t Step = ASize / 64 + 1;
    for (size_t Cut = 0; Cut <= ASize; Cut += Step) {
        const TRequestHead Part = ParseRequestHead(Input.substr(0, Cut));
        // A prefix holds no more than the whole: a refusal or a complete head in it stands
        // (the whole may name a fault further on in the same line first).
        if (Part.State == TRequestHead::rhRefused
            && (Whole.State != TRequestHead::rhRefused || Part.Refusal.empty()))
            std::abort();
        if (Part.State == TRequestHead::rhComplete
            && (Whole.State != TRequestHead::rhComplete || Whole.Length != Part.Length
                || Whole.Path != Part.Path || Whole.Close != Part.Close))
            std::abort();
    }
    return 0;
}
