// The object protocol, owned lists and the message bus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jobs/cmsg.h"
#include "jobs/cstdlist.h"

namespace {

struct Recorder : CListener {
    std::vector<int> codes;
    std::vector<int> kinds;
    std::function<void(CSingleMsg&)> onMessage;
    void OnMessage(CSingleMsg& msg) override
    {
        codes.push_back(msg.Code);
        kinds.push_back(msg.Kind);
        if (onMessage)
            onMessage(msg);
    }
    ~Recorder() override { Bus().RemoveListener(this); }
};

// A data class with its own field, following the clone protocol.
struct Counted : CObj {
    static int alive;
    int value = 0;
    Counted() { ++alive; }
    ~Counted() override { --alive; }
    CObj* CreateNew() const override { return new Counted(); }
    void Reset() override { CObj::Reset(); value = 0; }
    void CopyFrom(const CObj& other) override
    {
        CObj::CopyFrom(other);
        if (auto* c = dynamic_cast<const Counted*>(&other))
            value = c->value;
    }
};
int Counted::alive = 0;

TEST(ObjectProtocol, CloneCopiesTheWholeDerivedObject)
{
    Counted original;
    original.m_nData1 = 7;
    original.m_nData2 = -3;
    original.m_strName = "node";
    original.value = 42;
    CObj* copy = original.Clone();
    auto* counted = dynamic_cast<Counted*>(copy);
    ASSERT_NE(counted, nullptr);
    EXPECT_EQ(counted->value, 42);
    EXPECT_EQ(counted->m_nData1, 7);
    EXPECT_EQ(counted->m_nData2, -3);
    EXPECT_EQ(counted->m_strName, "node");
    copy->Reset();
    EXPECT_EQ(counted->value, 0);
    EXPECT_EQ(counted->m_strName, "");
    copy->Release();
}

TEST(ObjectProtocol, ListCopyClonesAndClearingDeletesOwnedElements)
{
    {
        CStdList<Counted> list;
        list.m_strName = "things";
        for (int i = 0; i < 3; ++i) {
            auto* c = new Counted();
            c->value = i;
            list.Append(c);
        }
        CStdList<Counted> copy;
        copy.Append(new Counted());   // replaced by the copy
        copy.CopyFrom(list);
        EXPECT_EQ(copy.m_strName, "things");
        ASSERT_EQ(copy.GetCount(), 3u);
        EXPECT_NE(copy.GetAt(0), list.GetAt(0));
        EXPECT_EQ(copy.GetAt(2)->value, 2);
        EXPECT_EQ(Counted::alive, 6);
        copy.CreateElement();
        EXPECT_EQ(copy.GetCount(), 4u);
    }
    EXPECT_EQ(Counted::alive, 0);
}

TEST(ObjectProtocol, CloneOfAnyMessageIsAPlainMessageThatNeverSends)
{
    Recorder recorder;
    Bus().AddListener("Recorder", &recorder);
    CMsgSend sent(MsgCode::CardSelected, CVariant(3));
    ASSERT_EQ(recorder.codes.size(), 1u);
    CObj* clone = sent.Clone();
    EXPECT_EQ(recorder.codes.size(), 1u);
    auto* msg = dynamic_cast<CMsg*>(clone);
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(dynamic_cast<CMsgSend*>(clone), nullptr);
    EXPECT_EQ(msg->Code, MsgCode::CardSelected);
    EXPECT_EQ(msg->Value1.ToInt(), 3);
    clone->Release();
}

TEST(MessageBus, RegistrationRules)
{
    Recorder a, b;
    Bus().AddListener("First", &a);
    Bus().AddListener("Second", &a);   // same object: ignored, keeps its first name
    Bus().AddListener("", &b);         // empty name: not registered
    Bus().AddListener("Null", nullptr);
    EXPECT_EQ(a.m_strName, "First");
    EXPECT_FALSE(Bus().IsRegistered(&b));
    CMsgSend msg(MsgCode::CardListChanged);
    EXPECT_EQ(a.codes.size(), 1u);
    EXPECT_TRUE(b.codes.empty());
    Bus().RemoveListener(&b);   // not registered: nothing happens
    Bus().RemoveListener(&a);
    CMsgSend again(MsgCode::CardListChanged);
    EXPECT_EQ(a.codes.size(), 1u);
}

TEST(MessageBus, DeliveryOrderRemovalAndNestedSends)
{
    std::vector<std::string> order;
    Recorder first, second, third, late;
    first.onMessage = [&](CSingleMsg& m) {
        order.push_back("first:" + std::to_string(m.Code));
        if (m.Code == MsgCode::ShowPage)
            CMsgSend nested(MsgCode::PageChanged);   // delivered at once to everyone
    };
    second.onMessage = [&](CSingleMsg& m) {
        order.push_back("second:" + std::to_string(m.Code));
        if (m.Code == MsgCode::ShowPage) {
            Bus().RemoveListener(&second);            // removes itself mid-delivery
            Bus().AddListener("Late", &late);         // appended behind: reached
        }
    };
    third.onMessage = [&](CSingleMsg& m) { order.push_back("third:" + std::to_string(m.Code)); };
    late.onMessage = [&](CSingleMsg& m) { order.push_back("late:" + std::to_string(m.Code)); };
    Bus().AddListener("First", &first);
    Bus().AddListener("Second", &second);
    Bus().AddListener("Third", &third);
    CMsgSend msg(MsgCode::ShowPage);
    const std::vector<std::string> expected = {"first:21", "first:22", "second:22", "third:22",
                                               "second:21", "third:21", "late:21"};
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(Bus().IsRegistered(&second));
    EXPECT_TRUE(Bus().IsRegistered(&late));
}

TEST(MessageBus, RunMessageSendsFinishedOnEveryExitPath)
{
    Recorder recorder;
    Bus().AddListener("Recorder", &recorder);
    auto failingJob = [] {
        CMsgRun run;
        return false;   // leaves early
    };
    EXPECT_FALSE(failingJob());
    EXPECT_EQ(recorder.codes, (std::vector<int>{MsgCode::JobStarted, MsgCode::JobFinished}));
}

TEST(MessageBus, ProgressStepsAndReply)
{
    Recorder recorder;
    recorder.onMessage = [](CSingleMsg& m) {
        if (m.Code == MsgCode::Progress && m.Kind == ProgressStep::Query && m.Reply)
            *m.Reply = 1;
    };
    Bus().AddListener("Recorder", &recorder);
    int32_t reply = 0;
    CMsgProgress query(0, 1, ProgressStep::Query, CVariant(0), &reply);
    EXPECT_EQ(reply, 1);
    CMsgProgress position(55, 7, "12%");
    EXPECT_EQ(recorder.kinds.back(), ProgressStep::Position);
    EXPECT_EQ(position.Value2.ToText(), "12%");
    EXPECT_EQ(position.Scope.ToInt(), 7);
}

TEST(MessageBus, AttachedRecordIsOwnedByTheMessage)
{
    {
        Counted record;
        record.value = 9;
        int seen = -1;
        Recorder recorder;
        recorder.onMessage = [&](CSingleMsg& m) {
            if (auto* c = dynamic_cast<Counted*>(m.Attached))
                seen = c->value;
        };
        Bus().AddListener("Recorder", &recorder);
        SendRecord(MsgCode::TransferStatus, 1, record);
        EXPECT_EQ(seen, 9);
        Bus().RemoveListener(&recorder);
        SendRecord(MsgCode::TransferStatus, 1, record);   // nobody listens: copy still freed
        CMsg copy;
        CMsg source(MsgCode::TransferStatus);
        source.Attach(record.Clone());
        copy.CopyFrom(source);
        ASSERT_NE(copy.Attached, nullptr);
        EXPECT_NE(copy.Attached, source.Attached);
        copy.Reset();
        EXPECT_EQ(copy.Attached, nullptr);
        EXPECT_EQ(copy.Code, 0);
    }
    EXPECT_EQ(Counted::alive, 0);
}

}  // namespace
