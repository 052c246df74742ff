#include "app/cstringtokenizer.h"

#include <utility>

CStringTokenizer::CStringTokenizer(std::string text, bool trim) : m_strText(std::move(text))
{
    if (trim) {
        std::string_view kept = Trim(m_strText);
        if (kept.size() != m_strText.size())
            m_strText = std::string(kept);
    }
}

std::string CStringTokenizer::NextToken(std::string_view delimiters)
{
    std::string_view rest = RemainderView();
    std::size_t at = rest.find_first_of(delimiters);
    if (at == std::string_view::npos) {
        m_nPos = m_strText.size();
        return std::string(rest);
    }
    m_nPos += at + 1;
    return std::string(rest.substr(0, at));
}

std::string CStringTokenizer::NextNonEmptyToken(std::string_view delimiters)
{
    std::string token = NextToken(delimiters);
    while (token.empty() && !IsEmpty())
        token = NextToken(delimiters);
    return token;
}

std::string_view CStringTokenizer::Trim(std::string_view text)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsWhiteSpace(text[begin]))
        ++begin;
    while (end > begin && IsWhiteSpace(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}
