// Text helpers shared by every layer: the one integer conversion the whole program uses,
// trimming by character code, ASCII case rules and splitting off a leading field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Integer text: optional leading blanks, an optional "+" or "-", then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". Anything else (empty text, a
// trailing blank or letter, a value outside the 32-bit range) is not a number.
// Hexadecimal values up to FFFFFFFF are accepted and read as 32-bit two's complement.
bool TryStrToInt(std::string_view AText, int32_t& AValue);
bool TryStrToInt64(std::string_view AText, int64_t& AValue);
int32_t StrToIntDef(std::string_view AText, int32_t ADefault);
int64_t StrToInt64Def(std::string_view AText, int64_t ADefault);
// Raises ENetConvertError ("'x' is not a valid integer value") when the text is not a number.
int32_t StrToInt(std::string_view AText);
int64_t StrToInt64(std::string_view AText);
// Hexadecimal digits only (no prefix); false for empty text or other characters.
bool TryHexToInt(std::string_view AText, int64_t& AValue);

// Removes every character with a code from 0 to 32 from the ends.
std::string Trim(std::string_view AText);
std::string TrimLeft(std::string_view AText);
std::string TrimRight(std::string_view AText);

// AText made the dotted text of the IPv4 address AAddress (four bytes), written by hand: it
// is made for both ends of every connection and for every echo reply, and a format costs ten
// times as much. Kept within the string's own room, so no allocation.
void AssignDottedQuad(std::string& AText, const uint8_t* AAddress);

// ASCII letter case; other bytes (UTF-8 included) are left alone.
std::string UpperCase(std::string_view AText);
std::string LowerCase(std::string_view AText);
bool SameText(std::string_view A, std::string_view B);
// 1-based position of ASub in AText, 0 when absent (AText searched from AOffset, 1-based).
size_t Pos(std::string_view ASub, std::string_view AText, size_t AOffset = 1);
bool StartsText(std::string_view APrefix, std::string_view AText); // case-insensitive

// Returns the text before the first ADelim and removes it and the delimiter from AInput;
// without the delimiter the whole input is returned and AInput becomes empty.
// With ADelete false AInput is left unchanged.
std::string Fetch(std::string& AInput, std::string_view ADelim = " ", bool ADelete = true);

// printf-style formatting into a std::string.
std::string FormatStr(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string IntToStr(int64_t AValue);
