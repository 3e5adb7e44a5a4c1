#include "monitors/ListEncoding.h"

#include <cerrno>
#include <iconv.h>

// The conversions are glibc's iconv: its UTF-8 decoder is strict (it refuses overlong forms,
// surrogates and code points past U+10FFFF), and it knows the Windows code pages.

namespace {

constexpr const char* Windows1251 = "WINDOWS-1251";
// The byte Windows-1251 leaves undefined, and the C1 control it is carried as.
constexpr char Undefined1251 = '\x98';
constexpr const char* Undefined1251AsUTF8 = "\xC2\x98";

class TConverter {
public:
    TConverter(const char* ATo, const char* AFrom)
        : FHandle(::iconv_open(ATo, AFrom))
    {
        if (FHandle == reinterpret_cast<iconv_t>(-1))
            throw std::runtime_error(std::string("No conversion from ") + AFrom + " to " + ATo);
    }
    ~TConverter() { ::iconv_close(FHandle); }
    TConverter(const TConverter&) = delete;
    TConverter& operator=(const TConverter&) = delete;

    // Converts from AInput on, appending to AOutput (when given), up to the end or the first
    // byte sequence that cannot be converted. Returns 0 at the end, else the errno (EILSEQ
    // for a sequence that has no conversion, EINVAL for one cut off by the end of the input),
    // with AInput left at that sequence.
    int Convert(const char*& AInput, const char* AEnd, std::string* AOutput)
    {
        char Buffer[16384];
        while (AInput < AEnd) {
            char* In = const_cast<char*>(AInput);
            size_t InLeft = static_cast<size_t>(AEnd - AInput);
            char* Out = Buffer;
            size_t OutLeft = sizeof(Buffer);
            const size_t Result = ::iconv(FHandle, &In, &InLeft, &Out, &OutLeft);
            const int Error = Result == static_cast<size_t>(-1) ? errno : 0;
            AInput = In;
            if (AOutput)
                AOutput->append(Buffer, static_cast<size_t>(Out - Buffer));
            if (Error != 0 && Error != E2BIG)
                return Error;
        }
        return 0;
    }

private:
    iconv_t FHandle;
};

// The UTF-8 sequence at AText[APos], for a message.
std::string SequenceAt(const std::string& AText, size_t APos)
{
    size_t End = APos + 1;
    while (End < AText.size() && (static_cast<unsigned char>(AText[End]) & 0xC0) == 0x80)
        ++End;
    return AText.substr(APos, End - APos);
}

} // namespace

bool IsValidUTF8(const std::string& ABytes)
{
    TConverter Check("UTF-16LE", "UTF-8");
    const char* Input = ABytes.data();
    return Check.Convert(Input, ABytes.data() + ABytes.size(), nullptr) == 0;
}

std::string FromWindows1251(const std::string& ABytes)
{
    TConverter Decode("UTF-8", Windows1251);
    std::string Result;
    Result.reserve(ABytes.size() + ABytes.size() / 2);
    const char* Input = ABytes.data();
    const char* const End = ABytes.data() + ABytes.size();
    while (Decode.Convert(Input, End, &Result) != 0) {
        // Only the undefined byte can fail in a single-byte code page.
        Result += Undefined1251AsUTF8;
        ++Input;
    }
    return Result;
}

std::string ToWindows1251(const std::string& AText)
{
    TConverter Encode(Windows1251, "UTF-8");
    std::string Result;
    Result.reserve(AText.size());
    const char* Input = AText.data();
    const char* const End = AText.data() + AText.size();
    while (Encode.Convert(Input, End, &Result) != 0) {
        if (End - Input >= 2 && Input[0] == Undefined1251AsUTF8[0] && Input[1] == Undefined1251AsUTF8[1]) {
            Result += Undefined1251;
            Input += 2;
            continue;
        }
        throw EListEncodingError("The list is written in Windows-1251, which has no character \""
            + SequenceAt(AText, static_cast<size_t>(Input - AText.data())) + "\"");
    }
    return Result;
}

std::string FromUTF16(const std::string& ABytes, TListEncoding AEncoding)
{
    TConverter Decode("UTF-8", AEncoding == leUTF16BE ? "UTF-16BE" : "UTF-16LE");
    std::string Result;
    Result.reserve(ABytes.size());
    const char* Input = ABytes.data();
    if (Decode.Convert(Input, ABytes.data() + ABytes.size(), &Result) != 0)
        throw EListEncodingError("The list is UTF-16, but its byte "
            + std::to_string(Input - ABytes.data() + 2) + " begins no UTF-16 character");
    return Result;
}

std::string ToUTF16(const std::string& AText, TListEncoding AEncoding)
{
    TConverter Encode(AEncoding == leUTF16BE ? "UTF-16BE" : "UTF-16LE", "UTF-8");
    std::string Result;
    Result.reserve(AText.size() * 2);
    const char* Input = AText.data();
    if (Encode.Convert(Input, AText.data() + AText.size(), &Result) != 0)
        throw EListEncodingError("The list is written in UTF-16, and its text is not valid UTF-8");
    return Result;
}
