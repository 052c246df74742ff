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
