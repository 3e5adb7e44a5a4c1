#include "support/Json.h"

#include <nlohmann/json.hpp>

namespace testsupport {

std::vector<std::string> TJsonObject::Keys() const
{
    std::vector<std::string> Result;
    for (const auto& Field : Fields)
        Result.push_back(Field.first);
    return Result;
}

std::string TJsonObject::operator[](const std::string& AKey) const
{
    for (const auto& Field : Fields)
        if (Field.first == AKey)
            return Field.second;
    return "(missing)";
}

TJsonObject ParseJsonObject(const std::string& AText)
{
    TJsonObject Object;
    // The ordered kind keeps the keys as written; the parser refuses invalid UTF-8, unescaped
    // control characters, lone surrogates and anything after the value.
    nlohmann::ordered_json Value;
    try {
        Value = nlohmann::ordered_json::parse(AText);
    } catch (const nlohmann::json::exception& E) {
        Object.Error = E.what();
        return Object;
    }
    if (!Value.is_object()) {
        Object.Error = "no object";
        return Object;
    }
    for (const auto& [Key, Field] : Value.items()) {
        if (Field.is_string()) {
            Object.Fields.emplace_back(Key, Field.get<std::string>());
        } else if (Field.is_number_integer()) {
            Object.Fields.emplace_back(Key, Field.dump());
        } else {
            Object.Error = "the value of \"" + Key + "\" is neither a string nor an integer";
            return Object;
        }
    }
    return Object;
}

} // namespace testsupport
