#include "jobs/cmsg.h"

#include <algorithm>
#include <cassert>

CSingleMsg::~CSingleMsg()
{
    if (Attached)
        Attached->Release();
}

void CSingleMsg::Attach(CObj* record)
{
    if (Attached == record)
        return;
    if (Attached)
        Attached->Release();
    Attached = record;
}

void CSingleMsg::Reset()
{
    CObj::Reset();
    Code = 0;
    Kind = 0;
    Value1.Clear();
    Value2.Clear();
    Scope.Clear();
    Reply = nullptr;
    Attach(nullptr);
}

void CSingleMsg::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CObj::CopyFrom(other);
    auto* msg = dynamic_cast<const CSingleMsg*>(&other);
    if (!msg)
        return;
    Code = msg->Code;
    Kind = msg->Kind;
    Value1 = msg->Value1;
    Value2 = msg->Value2;
    Scope = msg->Scope;
    Reply = msg->Reply;
    Attach(msg->Attached ? msg->Attached->Clone() : nullptr);
}

CMsg::CMsg(int32_t code, CVariant value1, CVariant value2)
{
    Code = code;
    Value1 = std::move(value1);
    Value2 = std::move(value2);
}

void CMsg::Reset()
{
    CSingleMsg::Reset();
    Children.Clear();
}

void CMsg::CopyFrom(const CObj& other)
{
    if (&other == this)
        return;
    CSingleMsg::CopyFrom(other);
    if (auto* msg = dynamic_cast<const CMsg*>(&other))
        Children.CopyFrom(msg->Children);
}

CMsgSend::CMsgSend(int32_t code, CVariant value1, CVariant value2)
    : CMsg(code, std::move(value1), std::move(value2))
{
    Bus().Send(*this);
}

CMsgRun::CMsgRun() : CMsgSend(MsgCode::JobStarted) {}

CMsgRun::~CMsgRun()
{
    CMsg finished(MsgCode::JobFinished);
    Bus().Send(finished);
}

CMsgProgress::CMsgProgress(int32_t value1, int32_t scope, int32_t kind, CVariant value2, int32_t* reply)
    : CMsg(MsgCode::Progress, CVariant(value1), std::move(value2))
{
    Kind = kind;
    Scope = CVariant(scope);
    Reply = reply;
    Bus().Send(*this);
}

CMsgProgress::CMsgProgress(int32_t position, int32_t scope, const std::string& text)
    : CMsg(MsgCode::Progress, CVariant(position), CVariant(text))
{
    Kind = ProgressStep::Position;
    Scope = CVariant(scope);
    Bus().Send(*this);
}

void CMsgBox::AssertOwnerThread()
{
#ifndef NDEBUG
    if (m_owner == std::thread::id())
        m_owner = std::this_thread::get_id();
    assert(m_owner == std::this_thread::get_id() && "the message bus is used from a second thread");
#endif
}

void CMsgBox::AddListener(const std::string& name, CListener* listener)
{
    AssertOwnerThread();
    if (!listener || name.empty() || IsRegistered(listener))
        return;
    listener->m_strName = name;
    m_listeners.push_back(listener);
}

void CMsgBox::RemoveListener(CListener* listener)
{
    AssertOwnerThread();
    if (!listener)
        return;
    if (m_depth > 0) {
        // Keep the positions of a running delivery valid: mark, compact afterwards.
        std::replace(m_listeners.begin(), m_listeners.end(), listener, static_cast<CListener*>(nullptr));
    } else {
        std::erase(m_listeners, listener);
    }
}

void CMsgBox::Send(CSingleMsg& msg)
{
    AssertOwnerThread();
    ++m_depth;
    // Index-based so that listeners appended during delivery are reached and the
    // vector may grow while we walk it.
    for (std::size_t i = 0; i < m_listeners.size(); ++i) {
        CListener* listener = m_listeners[i];
        if (listener)
            listener->OnMessage(msg);
    }
    if (--m_depth == 0)
        std::erase(m_listeners, static_cast<CListener*>(nullptr));
}

std::size_t CMsgBox::GetCount() const
{
    return static_cast<std::size_t>(std::count_if(m_listeners.begin(), m_listeners.end(),
                                                  [](CListener* l) { return l != nullptr; }));
}

bool CMsgBox::IsRegistered(const CListener* listener) const
{
    return std::find(m_listeners.begin(), m_listeners.end(), listener) != m_listeners.end();
}

CMsgBox& Bus()
{
    static CMsgBox bus;
    return bus;
}

void SendRecord(int32_t code, int32_t scope, const CObj& record)
{
    CMsg msg(code);
    msg.Scope = CVariant(scope);
    msg.Attach(record.Clone());
    Bus().Send(msg);
}
