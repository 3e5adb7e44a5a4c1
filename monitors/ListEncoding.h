// The encodings a monitor-list file can be in. Inside the program all text is UTF-8. An 8-bit
// list is read line by line: a line that is valid UTF-8 is UTF-8, any other one is of the
// Russian Windows code page, and each line is written back in the encoding it was read in, so
// a file nobody edited keeps its bytes. A list with a UTF-16 byte-order mark is UTF-16 whole.
#pragma once

#include <stdexcept>
#include <string>

enum TListEncoding { leUTF8, leWindows1251, leUTF16LE, leUTF16BE };

// A character that the list's encoding cannot hold, or bytes that do not decode.
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

// UTF-16 bytes (without a byte-order mark) to UTF-8; raises EListEncodingError for an odd
// number of bytes or a surrogate without its pair.
std::string FromUTF16(const std::string& ABytes, TListEncoding AEncoding);
// UTF-8 to UTF-16 bytes, without a byte-order mark.
std::string ToUTF16(const std::string& AText, TListEncoding AEncoding);
