#include "device/cdevicewatcher.h"

#include <chrono>

#include "app/clogfile.h"
#include "platform/volumetable.h"

CDeviceWatcher::~CDeviceWatcher() { Stop(); }

bool CDeviceWatcher::Start()
{
    StartNotices();
    if (NeedsListener())
        StartListener();
    return HasNotices() || IsPolling();
}

bool CDeviceWatcher::StartNotices()
{
    std::string why;
    m_monitor = std::make_unique<px::DiskMonitor>([](const px::DiskMonitor::Event&) { DevicesChangedEvent().Set(); });
    if (!m_monitor->Start(&why)) {
        Log().Info("Disk notices: " + why);
        m_monitor.reset();
    }
    return HasNotices();
}

bool CDeviceWatcher::NeedsListener() const
{
    bool images = false;
    for (char letter : px::VolumeTable::Instance().Letters())
        images = images || px::VolumeTable::Instance().Card(letter) != nullptr;
    return !HasNotices() || images;
}

bool CDeviceWatcher::StartListener()
{
    m_listener = std::make_unique<CDriveListener>();
    if (!m_listener->Start())
        m_listener.reset();
    return IsPolling();
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
