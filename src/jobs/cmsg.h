#pragma once
// Messages and the process-wide bus. A sender builds a message on its stack; building a
// CMsgSend delivers it at once, in registration order, to every registered listener.
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "jobs/cobj.h"
#include "jobs/cstdlist.h"
#include "jobs/cvariant.h"

// Message codes (the Code field).
namespace MsgCode {
constexpr int32_t JobStarted = 9;
constexpr int32_t JobFinished = 10;
constexpr int32_t TransferStatus = 14;
constexpr int32_t Cancel = 15;
constexpr int32_t Progress = 16;
constexpr int32_t CloseViewer = 17;
constexpr int32_t CardSelected = 19;
constexpr int32_t CardListChanged = 20;
constexpr int32_t ShowPage = 21;
constexpr int32_t PageChanged = 22;
constexpr int32_t DestinationChanged = 23;
}

// Progress steps (the Kind of a Progress message).
namespace ProgressStep {
constexpr int32_t Show = 2;      // show the progress display
constexpr int32_t Finished = 3;  // position back to 0
constexpr int32_t Position = 6;  // position = Value1, optional text in Value2
constexpr int32_t Range = 7;     // range Value1 .. Value2
constexpr int32_t Query = 8;     // receiver writes 1 (display free) or 0 into Reply
}

class CSingleMsg : public CObj {
public:
    CSingleMsg() = default;
    ~CSingleMsg() override;
    CSingleMsg(const CSingleMsg&) = delete;
    CSingleMsg& operator=(const CSingleMsg&) = delete;

    CObj* CreateNew() const override { return new CSingleMsg(); }
    void Reset() override;
    void CopyFrom(const CObj& other) override;

    // Takes ownership of a record to travel with the message (replacing any earlier one).
    void Attach(CObj* record);

    int32_t Code = 0;
    int32_t Kind = 0;
    CVariant Value1{0};
    CVariant Value2{0};
    CVariant Scope{0};
    int32_t* Reply = nullptr;   // not owned; a listener may write an answer here
    CObj* Attached = nullptr;   // owned
};

using CSingleMsgs = CStdList<CSingleMsg>;

class CMsg : public CSingleMsg {
public:
    CMsg() = default;
    CMsg(int32_t code, CVariant value1 = CVariant(0), CVariant value2 = CVariant(0));

    CObj* CreateNew() const override { return new CMsg(); }
    void Reset() override;
    void CopyFrom(const CObj& other) override;

    CSingleMsgs Children;
};

// Sends itself on construction.
class CMsgSend : public CMsg {
public:
    explicit CMsgSend(int32_t code, CVariant value1 = CVariant(0), CVariant value2 = CVariant(0));

protected:
    struct NoSend {};
    CMsgSend(NoSend, int32_t code) : CMsg(code) {}
};

// Sends JobStarted on construction and JobFinished on destruction, so a job that
// leaves early still announces its end.
class CMsgRun : public CMsgSend {
public:
    CMsgRun();
    ~CMsgRun() override;
};

// A progress step, sent on construction.
class CMsgProgress : public CMsg {
public:
    CMsgProgress(int32_t value1, int32_t scope, int32_t kind, CVariant value2 = CVariant(0),
                 int32_t* reply = nullptr);
    // Step 6: position with a text.
    CMsgProgress(int32_t position, int32_t scope, const std::string& text);
};

class CListener {
public:
    CListener() = default;
    virtual ~CListener() = default;
    virtual void OnNotify(int32_t, int32_t, int32_t, int32_t) {}
    virtual void OnMessage(CSingleMsg& msg) {}

    std::string m_strName;
};

// The bus: one list of listeners, not owned. Exactly one instance exists (Bus()).
class CMsgBox {
public:
    // Registers a listener under a name. Ignored for a null listener, an empty name or a
    // listener already registered (compared by identity).
    void AddListener(const std::string& name, CListener* listener);
    // Removes every entry of this listener; nothing when it is not registered.
    void RemoveListener(CListener* listener);
    // Delivers the message to every listener in registration order. A listener may
    // remove itself (or any other) and may register new listeners during delivery;
    // new listeners appended behind the current position are reached.
    void Send(CSingleMsg& msg);

    std::size_t GetCount() const;
    bool IsRegistered(const CListener* listener) const;

private:
    // The bus is not locked: it belongs to the thread that used it first (the user
    // interface thread, or px3's main thread). Debug builds assert that it stays there.
    void AssertOwnerThread();

    std::vector<CListener*> m_listeners;   // null marks an entry removed during delivery
    int m_depth = 0;
    std::thread::id m_owner;
};

CMsgBox& Bus();

// Sends a message whose Attached is a clone of the record and whose Scope is the scope.
void SendRecord(int32_t code, int32_t scope, const CObj& record);
