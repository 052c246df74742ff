#pragma once
// Notices of cards and readers coming and going, for a front end. Real readers are
// watched through the udev monitor when it can start; the polling listener runs when it
// cannot, and also while card images are attached (an emulated reader sends no udev
// notices). Either way the devices-changed event is set; the front end calls OnTimer
// every 500 ms and the card document is reloaded when no job runs.
#include <memory>
#include <string>

#include "device/cdrivedoc.h"
#include "device/cdrivelistener.h"
#include "platform/diskmonitor.h"

class CDeviceWatcher {
public:
    CDeviceWatcher() = default;
    ~CDeviceWatcher();
    CDeviceWatcher(const CDeviceWatcher&) = delete;
    CDeviceWatcher& operator=(const CDeviceWatcher&) = delete;

    // Starts watching; false when neither notices nor polling could start.
    bool Start();
    // The two halves of Start, for a front end that logs each: the udev notices (true
    // when they run), then the polling listener when NeedsListener says so (true when it
    // runs).
    bool StartNotices();
    bool NeedsListener() const;
    bool StartListener();
    void Stop();
    bool HasNotices() const { return m_monitor && m_monitor->Running(); }
    bool IsPolling() const { return m_listener && m_listener->IsRunning(); }
    // When the devices-changed event is set and no job runs: resets it, reloads the card
    // document and returns true. A change during a job is acted on after the job.
    bool OnTimer(CDriveDoc& doc, bool jobRunning);

private:
    std::unique_ptr<px::DiskMonitor> m_monitor;
    std::unique_ptr<CDriveListener> m_listener;
};
