#include "device/cdevicewatcher.h"

#include <chrono>

#include "app/clogfile.h"
#include "platform/volumetable.h"

CDeviceWatcher::~CDeviceWatcher() { Stop(); }

bool CDeviceWatcher::Start()
{
    std::string why;
    m_monitor = std::make_unique<px::DiskMonitor>([](const px::DiskMonitor::Event&) { DevicesChangedEvent().Set(); });
    if (!m_monitor->Start(&why)) {
        Log().Info("Disk notices: " + why);
        m_monitor.reset();
    }
    bool images = false;
    for (char letter : px::VolumeTable::Instance().Letters())
        images = images || px::VolumeTable::Instance().Card(letter) != nullptr;
    if (!m_monitor || images) {
        Log().BeginScope("Running Listener");
        m_listener = std::make_unique<CDriveListener>();
        const bool started = m_listener->Start();
        Log().Outcome(started ? "-OK" : "-FAIL", "Run Listener");
        if (!started)
            m_listener.reset();
    }
    return HasNotices() || IsPolling();
}

void CDeviceWatcher::Stop()
{
    if (m_monitor)
        m_monitor->Stop();
    if (m_listener)
        m_listener->Stop();
    m_monitor.reset();
    m_listener.reset();
}

bool CDeviceWatcher::OnTimer(CDriveDoc& doc, bool jobRunning)
{
    if (jobRunning)
        return false;
    if (!DevicesChangedEvent().Wait(std::chrono::milliseconds(1)))
        return false;
    DevicesChangedEvent().Reset();
    doc.Reload();
    return true;
}
