// The encodings a monitor-list file can be in. Inside the program all text is UTF-8; a list
// that is not valid UTF-8 is an 8-bit list of the Russian Windows code page, is shown
// decoded and is written back in that code page, so a file nobody edited keeps its bytes.
#pragma once

#include <stdexcept>
#include <string>

enum TListEncoding { leUTF8, leWindows1251 };

// A character that the list's encoding cannot hold.
class EListEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether ABytes is valid UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool IsValidUTF8(const std::string& ABytes);

// Windows-1251 bytes to UTF-8. The one byte the code page leaves undefined (0x98) becomes
// U+0098, so that every byte comes back unchanged from ToWindows1251.
std::string FromWindows1251(const std::string& ABytes);

// UTF-8 to Windows-1251; raises EListEncodingError for a character the code page lacks.
std::string ToWindows1251(const std::string& AText);

// The text of a list file as UTF-8, with the encoding it was found in.
std::string DecodeListText(const std::string& ABytes, TListEncoding& AEncoding);
// UTF-8 text in AEncoding.
std::string EncodeListText(const std::string& AText, TListEncoding AEncoding);
