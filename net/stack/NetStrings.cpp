#include "net/stack/NetStrings.h"

#include "net/stack/NetException.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace {

int HexDigit(char C)
{
    if (C >= '0' && C <= '9')
        return C - '0';
    if (C >= 'a' && C <= 'f')
        return C - 'a' + 10;
    if (C >= 'A' && C <= 'F')
        return C - 'A' + 10;
    return -1;
}

// Reads the text by the integer rule into a magnitude and a sign; ALimit bounds the
// decimal magnitude (max + 1 for negatives), AHexLimit the hexadecimal one.
bool ParseInteger(std::string_view S, bool& ANegative, uint64_t& AMagnitude, bool& AHex, uint64_t AHexLimit,
    uint64_t ADecLimit)
{
    size_t I = 0;
    while (I < S.size() && S[I] == ' ')
        ++I;
    ANegative = false;
    if (I < S.size() && (S[I] == '+' || S[I] == '-')) {
        ANegative = S[I] == '-';
        ++I;
    }
    AHex = false;
    if (I < S.size() && (S[I] == '$' || S[I] == 'x' || S[I] == 'X')) {
        AHex = true;
        ++I;
    } else if (I + 1 < S.size() && S[I] == '0' && (S[I + 1] == 'x' || S[I + 1] == 'X')) {
        AHex = true;
        I += 2;
    }
    if (I >= S.size())
        return false;
    uint64_t V = 0;
    for (; I < S.size(); ++I) {
        int D = AHex ? HexDigit(S[I]) : (S[I] >= '0' && S[I] <= '9' ? S[I] - '0' : -1);
        if (D < 0)
            return false;
        V = V * (AHex ? 16 : 10) + static_cast<uint64_t>(D);
        if (V > (AHex ? AHexLimit : ADecLimit + 1))
            return false;
    }
    if (!AHex && V > ADecLimit + (ANegative ? 1 : 0))
        return false;
    AMagnitude = V;
    return true;
}

} // namespace

bool TryStrToInt(std::string_view AText, int32_t& AValue)
{
    bool Neg = false, Hex = false;
    uint64_t M = 0;
    if (!ParseInteger(AText, Neg, M, Hex, 0xFFFFFFFFull, 0x7FFFFFFFull))
        return false;
    uint32_t U = static_cast<uint32_t>(M);
    if (Neg)
        U = 0u - U;
    AValue = static_cast<int32_t>(U);
    return true;
}

bool TryStrToInt64(std::string_view AText, int64_t& AValue)
{
    bool Neg = false, Hex = false;
    uint64_t M = 0;
    if (!ParseInteger(AText, Neg, M, Hex, 0xFFFFFFFFFFFFFFFull, 0x7FFFFFFFFFFFFFFFull))
        return false;
    uint64_t U = Neg ? 0ull - M : M;
    AValue = static_cast<int64_t>(U);
    return true;
}

int32_t StrToIntDef(std::string_view AText, int32_t ADefault)
{
    int32_t V;
    return TryStrToInt(AText, V) ? V : ADefault;
}

int64_t StrToInt64Def(std::string_view AText, int64_t ADefault)
{
    int64_t V;
    return TryStrToInt64(AText, V) ? V : ADefault;
}

int32_t StrToInt(std::string_view AText)
{
    int32_t V;
    if (!TryStrToInt(AText, V))
        throw ENetConvertError("'" + std::string(AText) + "' is not a valid integer value");
    return V;
}

int64_t StrToInt64(std::string_view AText)
{
    int64_t V;
    if (!TryStrToInt64(AText, V))
        throw ENetConvertError("'" + std::string(AText) + "' is not a valid integer value");
    return V;
}

bool TryHexToInt(std::string_view AText, int64_t& AValue)
{
    if (AText.empty() || AText.size() > 15)
        return false;
    int64_t V = 0;
    for (char C : AText) {
        int D = HexDigit(C);
        if (D < 0)
            return false;
        V = V * 16 + D;
    }
    AValue = V;
    return true;
}

std::string Trim(std::string_view AText)
{
    size_t B = 0, E = AText.size();
    while (B < E && static_cast<unsigned char>(AText[B]) <= 32)
        ++B;
    while (E > B && static_cast<unsigned char>(AText[E - 1]) <= 32)
        --E;
    return std::string(AText.substr(B, E - B));
}

std::string TrimLeft(std::string_view AText)
{
    size_t B = 0;
    while (B < AText.size() && static_cast<unsigned char>(AText[B]) <= 32)
        ++B;
    return std::string(AText.substr(B));
}

std::string TrimRight(std::string_view AText)
{
    size_t E = AText.size();
    while (E > 0 && static_cast<unsigned char>(AText[E - 1]) <= 32)
        --E;
    return std::string(AText.substr(0, E));
}

void AssignDottedQuad(std::string& AText, const uint8_t* AAddress)
{
    AText.clear();
    for (size_t I = 0; I < 4; ++I) {
        if (I > 0)
            AText += '.';
        const unsigned Byte = AAddress[I];
        if (Byte >= 100)
            AText += static_cast<char>('0' + Byte / 100);
        if (Byte >= 10)
            AText += static_cast<char>('0' + Byte / 10 % 10);
        AText += static_cast<char>('0' + Byte % 10);
    }
}

std::string UpperCase(std::string_view AText)
{
    std::string R(AText);
    for (char& C : R)
        if (C >= 'a' && C <= 'z')
            C = static_cast<char>(C - 32);
    return R;
}

std::string LowerCase(std::string_view AText)
{
    std::string R(AText);
    for (char& C : R)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C + 32);
    return R;
}

bool SameText(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (size_t I = 0; I < A.size(); ++I) {
        char X = A[I], Y = B[I];
        if (X >= 'A' && X <= 'Z')
            X = static_cast<char>(X + 32);
        if (Y >= 'A' && Y <= 'Z')
            Y = static_cast<char>(Y + 32);
        if (X != Y)
            return false;
    }
    return true;
}

size_t Pos(std::string_view ASub, std::string_view AText, size_t AOffset)
{
    if (AOffset < 1 || ASub.empty())
        return 0;
    size_t P = AText.find(ASub, AOffset - 1);
    return P == std::string_view::npos ? 0 : P + 1;
}

bool StartsText(std::string_view APrefix, std::string_view AText)
{
    return AText.size() >= APrefix.size() && SameText(AText.substr(0, APrefix.size()), APrefix);
}

std::string Fetch(std::string& AInput, std::string_view ADelim, bool ADelete)
{
    size_t P = ADelim.empty() ? std::string::npos : AInput.find(ADelim);
    if (P == std::string::npos) {
        std::string R = AInput;
        if (ADelete)
            AInput.clear();
        return R;
    }
    std::string R = AInput.substr(0, P);
    if (ADelete)
        AInput.erase(0, P + ADelim.size());
    return R;
}

std::string FormatStr(const char* AFormat, ...)
{
    va_list Args;
    va_start(Args, AFormat);
    va_list Copy;
    va_copy(Copy, Args);
    int N = std::vsnprintf(nullptr, 0, AFormat, Copy);
    va_end(Copy);
    std::string R;
    if (N > 0) {
        R.resize(static_cast<size_t>(N) + 1);
        std::vsnprintf(R.data(), R.size(), AFormat, Args);
        R.resize(static_cast<size_t>(N));
    }
    va_end(Args);
    return R;
}

std::string IntToStr(int64_t AValue)
{
    return std::to_string(AValue);
}
