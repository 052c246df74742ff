#pragma once
// Root of the data classes: two integers and a name, with the clone protocol that
// lets owned lists copy their elements whatever their class.
#include <cstdint>
#include <string>
#include <string_view>

class CObj {
public:
    CObj() = default;
    virtual ~CObj() = default;

    // A full copy of this object, of this object's own class; the caller owns it.
    virtual CObj* Clone() const;
    // A new default object of this object's own class.
    virtual CObj* CreateNew() const;
    // Destroys this heap object.
    virtual void Release();
    // Both integers 0, name empty. A derived class also resets its own fields.
    virtual void Reset();
    // Hook called before the text form is read (empty here).
    virtual void BeforeAttributes() {}
    // Copies both integers and the name. A derived class also copies its own fields.
    virtual void CopyFrom(const CObj& other);

    // Tag text form. WriteText appends: the opening tag, the attributes, ">", the
    // children and the closing tag; a plain CObj writes "\r\n<CObj ></CObj>". Writing is
    // not const because a derived class may refresh derived fields from its data first.
    virtual void WriteOpenTag(std::string& out);
    virtual void WriteAttributes(std::string& out);
    virtual void WriteChildren(std::string& out);
    virtual void WriteCloseTag(std::string& out);
    virtual void WriteText(std::string& out);
    // Stores one attribute read from the text form; true when the key is one of this
    // class's attributes. A plain CObj accepts none.
    virtual bool SetAttribute(const std::string& key, const std::string& value);
    // Reads "key='value' key='value' ..." (the text between a tag name and ">"): calls
    // BeforeAttributes, then SetAttribute for every pair, keys trimmed and folded to
    // lower case, values trimmed. A plain CObj knows single quotes only. Never fails:
    // a pair without "=" or quotes gets an empty value.
    virtual void ParseAttributes(const std::string& text);

    int32_t m_nData1 = 0;
    int32_t m_nData2 = 0;
    std::string m_strName;

protected:
    // The pair reader behind ParseAttributes: any byte of quotes opens a value and any
    // byte of quotes closes it. Does not call BeforeAttributes.
    void ParseAttributePairs(std::string_view text, std::string_view quotes);

    CObj(const CObj&) = default;
    CObj& operator=(const CObj&) = default;
};
