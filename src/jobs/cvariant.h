#pragma once
// A tagged value standing in for the OLE variant of the messages: empty, a 32-bit
// integer, a text, or an error code.
#include <cstdint>
#include <string>
#include <variant>

class CVariant {
public:
    enum class Type { Empty, I4, Text, Error };

    CVariant() : m_value(int32_t{0}) {}
    CVariant(int32_t v) : m_value(v) {}
    CVariant(std::string text) : m_value(std::move(text)) {}
    CVariant(const char* text) : m_value(std::string(text)) {}

    static CVariant MakeError(int32_t code)
    {
        CVariant v;
        v.m_value = ErrorCode{code};
        return v;
    }

    Type GetType() const
    {
        switch (m_value.index()) {
        case 1: return Type::I4;
        case 2: return Type::Text;
        case 3: return Type::Error;
        default: return Type::Empty;
        }
    }
    // The integer value; 0 for another type.
    int32_t ToInt() const { return GetType() == Type::I4 ? std::get<int32_t>(m_value) : 0; }
    // The text value; empty for another type.
    std::string ToText() const { return GetType() == Type::Text ? std::get<std::string>(m_value) : std::string(); }
    int32_t ErrorValue() const { return GetType() == Type::Error ? std::get<ErrorCode>(m_value).code : 0; }
    void Clear() { m_value = std::monostate{}; }

    bool operator==(const CVariant& other) const = default;

private:
    struct ErrorCode {
        int32_t code;
        bool operator==(const ErrorCode&) const = default;
    };
    std::variant<std::monostate, int32_t, std::string, ErrorCode> m_value;
};
