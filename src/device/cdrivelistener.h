#pragma once
// Noticing cards being inserted and removed: a worker thread polls the removable drives
// once a second and sets the devices-changed event when anything changed; the front end
// tests that event on a timer and reloads the drive list when no job runs. The listener
// never touches the card document itself.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/manualevent.h"

// The process-wide objects shared by the listener, the card document and the front end.
std::mutex& DeviceMutex();
px::ManualResetEvent& DevicesChangedEvent();
class CDriveListener;
// The listener that runs, or null; the card document takes the device mutex only then.
CDriveListener* RunningListener();

class CDriveListener {
public:
    CDriveListener();
    ~CDriveListener();
    CDriveListener(const CDriveListener&) = delete;
    CDriveListener& operator=(const CDriveListener&) = delete;

    // Starts the polling thread; false when it could not be started.
    bool Start();
    // Sets the stop event and waits for the thread.
    void Stop();
    bool IsRunning() const { return m_thread.joinable(); }

    // One pass over the drives: true when it saw a change (never on the first pass).
    bool Pass();
    // Letters opened and asked in the last pass (drives known to be fixed are not).
    int ProbedLastPass() const { return m_probed; }

private:
    void Main();

    std::map<char, uint16_t> m_previous;
    std::map<char, uint16_t> m_current;
    std::set<char> m_fixed;
    bool m_firstPassDone = false;
    px::ManualResetEvent m_stop;
    std::thread m_thread;
    int m_probed = 0;
};
