// A small, strict JSON reader for the tests (RFC 8259): parses a whole document into a
// tree of values, or says where the text stops being valid JSON.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct JsonValue
{
    enum Kind
    {
        kNull,
        kBool,
        kNumber,
        kString,
        kArray,
        kObject,
    };

    Kind m_kind = kNull;
    bool m_bool = false;
    double m_number = 0.0;
    std::string m_string;                                     // strings, as UTF-8
    std::vector<JsonValue> m_items;                           // arrays
    std::vector<std::pair<std::string, JsonValue>> m_members; // objects, in document order

    // The member with the key (the first one), or null; also null when this is no object.
    const JsonValue* Find(const std::string& key) const;
};

// Parses the whole text. Returns false, with the offset and reason in *pError, when the
// text is not one valid JSON value (surrounded by nothing but whitespace).
bool ParseJson(const std::string& text, JsonValue* pOut, std::string* pError);
