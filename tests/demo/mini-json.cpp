#include "tests/demo/mini-json.h"

#include <cstdlib>

namespace
{
class JsonParser
{
public:
    explicit JsonParser(const std::string& text) : m_text(text) {}

    bool ParseDocument(JsonValue* pOut)
    {
        SkipWhitespace();
        if (!ParseValue(pOut, 0))
            return false;
        SkipWhitespace();
        return m_pos == m_text.size() || Fail("text after the document");
    }

    const std::string& Error() const { return m_error; }

private:
    static constexpr int kMaxDepth = 64;

    bool Fail(const char* pReason)
    {
        if (m_error.empty())
            m_error = "offset " + std::to_string(m_pos) + ": " + pReason;
        return false;
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }

    void SkipWhitespace()
    {
        while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
            ++m_pos;
    }

    bool Expect(const char* pWord)
    {
        for (const char* p = pWord; *p; ++p, ++m_pos)
            if (Peek() != *p)
                return Fail("unknown literal");
        return true;
    }

    bool ParseValue(JsonValue* pOut, int depth)
    {
        if (depth > kMaxDepth)
            return Fail("nested too deeply");
        *pOut = JsonValue();
        switch (Peek())
        {
        case '{':
            return ParseObject(pOut, depth);
        case '[':
            return ParseArray(pOut, depth);
        case '"':
            pOut->m_kind = JsonValue::kString;
            return ParseString(&pOut->m_string);
        case 't':
            pOut->m_kind = JsonValue::kBool;
            pOut->m_bool = true;
            return Expect("true");
        case 'f':
            pOut->m_kind = JsonValue::kBool;
            return Expect("false");
        case 'n':
            return Expect("null");
        default:
            pOut->m_kind = JsonValue::kNumber;
            return ParseNumber(&pOut->m_number);
        }
    }

    bool ParseObject(JsonValue* pOut, int depth)
    {
        pOut->m_kind = JsonValue::kObject;
        ++m_pos; // '{'
        SkipWhitespace();
        if (Peek() == '}')
        {
            ++m_pos;
            return true;
        }
        for (;;)
        {
            SkipWhitespace();
            std::string key;
            if (Peek() != '"')
                return Fail("expected a member name");
            if (!ParseString(&key))
                return false;
            SkipWhitespace();
            if (Peek() != ':')
                return Fail("expected ':'");
            ++m_pos;
            SkipWhitespace();
            JsonValue value;
            if (!ParseValue(&value, depth + 1))
                return false;
            pOut->m_members.emplace_back(std::move(key), std::move(value));
            SkipWhitespace();
            if (Peek() == ',')
            {
                ++m_pos;
                continue;
            }
            if (Peek() == '}')
            {
                ++m_pos;
                return true;
            }
            return Fail("expected ',' or '}'");
        }
    }

    bool ParseArray(JsonValue* pOut, int depth)
    {
        pOut->m_kind = JsonValue::kArray;
        ++m_pos; // '['
        SkipWhitespace();
        if (Peek() == ']')
        {
            ++m_pos;
            return true;
        }
        for (;;)
        {
            SkipWhitespace();
            JsonValue value;
            if (!ParseValue(&value, depth + 1))
                return false;
            pOut->m_items.push_back(std::move(value));
            SkipWhitespace();
            if (Peek() == ',')
            {
                ++m_pos;
                continue;
            }
            if (Peek() == ']')
            {
                ++m_pos;
                return true;
            }
            return Fail("expected ',' or ']'");
        }
    }

    bool ParseHex4(unsigned* pCode)
    {
        *pCode = 0;
        for (int i = 0; i < 4; ++i, ++m_pos)
        {
            const char c = Peek();
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return Fail("bad \\u escape");
            *pCode = *pCode * 16 + digit;
        }
        return true;
    }

    static void AppendUtf8(std::string* pOut, unsigned code)
    {
        if (code < 0x80)
        {
            *pOut += static_cast<char>(code);
        }
        else if (code < 0x800)
        {
            *pOut += static_cast<char>(0xC0 | (code >> 6));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        }
        else if (code < 0x10000)
        {
            *pOut += static_cast<char>(0xE0 | (code >> 12));
            *pOut += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        }
        else
        {
            *pOut += static_cast<char>(0xF0 | (code >> 18));
            *pOut += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            *pOut += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            *pOut += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool ParseString(std::string* pOut)
    {
        ++m_pos; // '"'
        for (;;)
        {
            if (AtEnd())
                return Fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return Fail("control character in a string");
            if (c != '\\')
            {
                *pOut += static_cast<char>(c);
                continue;
            }
            const char escape = Peek();
            ++m_pos;
            switch (escape)
            {
            case '"':
            case '\\':
            case '/':
                *pOut += escape;
                break;
            case 'b':
                *pOut += '\b';
                break;
            case 'f':
                *pOut += '\f';
                break;
            case 'n':
                *pOut += '\n';
                break;
            case 'r':
                *pOut += '\r';
                break;
            case 't':
                *pOut += '\t';
                break;
            case 'u':
            {
                unsigned code;
                if (!ParseHex4(&code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00)
                {
                    unsigned low;
                    if (Peek() != '\\' || (++m_pos, Peek() != 'u'))
                        return Fail("lone high surrogate");
                    ++m_pos;
                    if (!ParseHex4(&low) || low < 0xDC00 || low >= 0xE000)
                        return Fail("bad low surrogate");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                else if (code >= 0xDC00 && code < 0xE000)
                {
                    return Fail("lone low surrogate");
                }
                AppendUtf8(pOut, code);
                break;
            }
            default:
                return Fail("unknown escape");
            }
        }
    }

    bool ParseNumber(double* pOut)
    {
        const size_t begin = m_pos;
        if (Peek() == '-')
            ++m_pos;
        if (Peek() == '0')
        {
            ++m_pos;
        }
        else if (Peek() >= '1' && Peek() <= '9')
        {
            while (Peek() >= '0' && Peek() <= '9')
                ++m_pos;
        }
        else
        {
            return Fail("expected a value");
        }
        if (Peek() == '.')
        {
            ++m_pos;
            if (!(Peek() >= '0' && Peek() <= '9'))
                return Fail("expected a digit after '.'");
            while (Peek() >= '0' && Peek() <= '9')
                ++m_pos;
        }
        if (Peek() == 'e' || Peek() == 'E')
        {
            ++m_pos;
            if (Peek() == '+' || Peek() == '-')
                ++m_pos;
            if (!(Peek() >= '0' && Peek() <= '9'))
                return Fail("expected a digit in the exponent");
            while (Peek() >= '0' && Peek() <= '9')
                ++m_pos;
        }
        *pOut = std::strtod(m_text.substr(begin, m_pos - begin).c_str(), nullptr);
        return true;
    }

    const std::string& m_text;
    size_t m_pos = 0;
    std::string m_error;
};
} // namespace

const JsonValue* JsonValue::Find(const std::string& key) const
{
    for (const auto& member : m_members)
        if (member.first == key)
            return &member.second;
    return nullptr;
}

bool ParseJson(const std::string& text, JsonValue* pOut, std::string* pError)
{
    JsonParser parser(text);
    if (parser.ParseDocument(pOut))
        return true;
    if (pError)
        *pError = parser.Error();
    return false;
}
