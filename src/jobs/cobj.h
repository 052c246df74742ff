#pragma once
// Root of the data classes: two integers and a name, with the clone protocol that
// lets owned lists copy their elements whatever their class.
#include <cstdint>
#include <string>

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

    int32_t m_nData1 = 0;
    int32_t m_nData2 = 0;
    std::string m_strName;

protected:
    CObj(const CObj&) = default;
    CObj& operator=(const CObj&) = default;
};
