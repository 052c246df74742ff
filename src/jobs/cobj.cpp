#include "jobs/cobj.h"

CObj* CObj::Clone() const
{
    CObj* copy = CreateNew();
    copy->CopyFrom(*this);
    return copy;
}

CObj* CObj::CreateNew() const { return new CObj(); }

void CObj::Release() { delete this; }

void CObj::Reset()
{
    m_nData1 = 0;
    m_nData2 = 0;
    m_strName.clear();
}

void CObj::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    m_nData1 = other.m_nData1;
    m_nData2 = other.m_nData2;
    m_strName = other.m_strName;
}

// ---- Tag text form --------------------------------------------------------------

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Cuts rest at its first byte out of delimiters; the delimiter itself is dropped.
// Without a delimiter the whole rest is the token and rest becomes empty.
std::string_view CutAt(std::string_view& rest, std::string_view delimiters)
{
    std::size_t at = rest.find_first_of(delimiters);
    if (at == std::string_view::npos) {
        std::string_view token = rest;
        rest = std::string_view();
        return token;
    }
    std::string_view token = rest.substr(0, at);
    rest.remove_prefix(at + 1);
    return token;
}

}  // namespace

void CObj::WriteOpenTag(std::string& out) { out += "\r\n<CObj "; }

void CObj::WriteAttributes(std::string& out) {}

void CObj::WriteChildren(std::string& out) {}

void CObj::WriteCloseTag(std::string& out) { out += "</CObj>"; }

void CObj::WriteText(std::string& out)
{
    WriteOpenTag(out);
    WriteAttributes(out);
    out += '>';
    WriteChildren(out);
    WriteCloseTag(out);
}

bool CObj::SetAttribute(const std::string& key, const std::string& value) { return false; }

void CObj::ParseAttributes(const std::string& text)
{
    BeforeAttributes();
    ParseAttributePairs(text, "'");
}

void CObj::ParseAttributePairs(std::string_view text, std::string_view quotes)
{
    std::string_view rest = TrimBlanks(text);
    while (!rest.empty()) {
        std::string key(TrimBlanks(CutAt(rest, "=")));
        for (char& c : key) {
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        }
        CutAt(rest, quotes);   // anything between "=" and the opening quote is dropped
        std::string value(TrimBlanks(CutAt(rest, quotes)));
        SetAttribute(key, value);
    }
}
