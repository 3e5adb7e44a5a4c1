// The base64 decoder on any text, and encoding followed by decoding on any bytes.
#include "net/http/NetCoderMIME.h"
#include "net/stack/NetException.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* AData, size_t ASize)
{
    std::string Input(reinterpret_cast<const char*>(AData), ASize);
    try {
        std::string Plain = TNetDecoderMIME::DecodeText(Input);
        if (Plain.size() > Input.size() / 4 * 3)
            std::abort();
    } catch (const ENetException&) {
    }
    std::string Encoded = TNetEncoderMIME::EncodeText(Input);
    if (Encoded.size() != (Input.size() + 2) / 3 * 4 || TNetDecoderMIME::DecodeText(Encoded) != Input)
        std::abort();

    // A count from the middle of a stream.
    TStringStream S(Input);
    S.SetPosition(static_cast<int64_t>(Input.size() / 2));
    TNetEncoderMIME E;
    try {
        E.Encode(S, static_cast<int64_t>(Input.size() % 7));
    } catch (const ENetException&) {
    }
    return 0;
}
