#include "device/cdrivelistener.h"

#include <chrono>

#include "device/cdrivescsi.h"
#include "platform/volumetable.h"

namespace {
std::atomic<CDriveListener*> g_running{nullptr};
}

std::mutex& DeviceMutex()
{
    static std::mutex mutex;
    return mutex;
}

px::ManualResetEvent& DevicesChangedEvent()
{
    static px::ManualResetEvent event;
    return event;
}

CDriveListener* RunningListener() { return g_running.load(); }

CDriveListener::CDriveListener() { g_running = this; }

CDriveListener::~CDriveListener()
{
    Stop();
    CDriveListener* self = this;
    g_running.compare_exchange_strong(self, nullptr);
}

bool CDriveListener::Start()
{
    if (m_thread.joinable())
        return true;
    m_stop.Reset();
    try {
        m_thread = std::thread([this] { Main(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CDriveListener::Stop()
{
    m_stop.Set();
    if (m_thread.joinable())
        m_thread.join();
}

void CDriveListener::Main()
{
    while (!m_stop.Wait(std::chrono::milliseconds(1000))) {
        std::lock_guard lock(DeviceMutex());
        if (Pass())
            DevicesChangedEvent().Set();
    }
}

bool CDriveListener::Pass()
{
    m_current.clear();
    m_probed = 0;
    const std::string roots = px::VolumeTable::Instance().LogicalDriveStrings();
    for (size_t i = 0; i + 3 < roots.size() && roots[i] != '\0'; i += 4) {
        const char letter = roots[i];
        // A and B are floppy letters: never polled.
        if (letter <= 'B' || m_fixed.count(letter))
            continue;
        CDriveScsi drive;
        CInquiryData inquiry;
        ++m_probed;
        if (!drive.OpenVolume(letter) || !drive.Inquiry(inquiry))
            continue;
        if (inquiry.Removable()) {
            CUnitStatus status;
            bool answered = drive.TestUnitReady(status);
            // UNIT ATTENTION only says that the medium changed: the next answer says
            // whether a card is there, so one insertion is one change.
            if (answered && !status.Ready && status.SenseKey == 6)
                answered = drive.TestUnitReady(status);
            if (answered)
                m_current[letter] = status.Ready ? 0 : status.SenseKey;
        } else {
            m_fixed.insert(letter);
        }
        drive.Close();
    }
    const bool changed = m_current != m_previous;
    m_previous = m_current;
    if (!m_firstPassDone) {
        m_firstPassDone = true;
        return false;
    }
    return changed;
}
