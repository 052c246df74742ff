#pragma once
// A text remainder cut front to back at delimiter characters. Cutting never copies
// or rescans the part already consumed, so a whole document can be walked in linear
// time. Delimiters are single bytes; in UTF-8 text an ASCII delimiter never matches a
// byte inside a multi-byte character, so UTF-8 passes through intact.
#include <cstddef>
#include <string>
#include <string_view>

class CStringTokenizer {
public:
    CStringTokenizer() = default;
    // Takes the text as the remainder; with trim set, leading and trailing white space
    // (blank, tab, line feed, vertical tab, form feed, carriage return) is removed first.
    explicit CStringTokenizer(std::string text, bool trim = false);

    // Cuts at the first byte of the remainder that is any of the delimiters: returns
    // what precedes it and drops that one delimiter from the remainder. When no
    // delimiter occurs, returns the whole remainder and leaves it empty.
    std::string NextToken(std::string_view delimiters);
    // NextToken repeated while the token is empty and the remainder is not: the first
    // non-empty token, or empty text when the remainder runs out.
    std::string NextNonEmptyToken(std::string_view delimiters);

    std::string Remainder() const { return std::string(RemainderView()); }
    std::string_view RemainderView() const
    {
        return std::string_view(m_strText).substr(m_nPos);
    }
    bool IsEmpty() const { return m_nPos >= m_strText.size(); }

    // The text without leading and trailing white space (the set named above).
    static std::string_view Trim(std::string_view text);
    static bool IsWhiteSpace(char c)
    {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }

private:
    std::string m_strText;
    std::size_t m_nPos = 0;   // start of the remainder in m_strText
};
