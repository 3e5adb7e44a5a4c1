// A strict reader of the flat JSON objects that vardex-check writes, on Debian's JSON library
// rather than the code under test.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// One flat JSON object: string and integer values only, keys in their order.
struct TJsonObject {
    std::vector<std::pair<std::string, std::string>> Fields; // numbers as their text
    // Why the text is no such object (malformed JSON, invalid UTF-8, raw control characters,
    // text after the object, another kind of value); empty when it is one.
    std::string Error;

    std::vector<std::string> Keys() const;
    // The value of AKey, "(missing)" when the object has none.
    std::string operator[](const std::string& AKey) const;
};

TJsonObject ParseJsonObject(const std::string& AText);

} // namespace testsupport
