#pragma once
// A manual-reset event: once set it stays set until reset; waiters wake when it is set.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace px {

class ManualResetEvent {
public:
    void Set()
    {
        {
            std::lock_guard lock(m_mutex);
            m_set = true;
        }
        m_cv.notify_all();
    }
    void Reset()
    {
        std::lock_guard lock(m_mutex);
        m_set = false;
    }
    bool IsSet() const
    {
        std::lock_guard lock(m_mutex);
        return m_set;
    }
    // True when the event is (or becomes) set within the time.
    bool Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [this] { return m_set; });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_set = false;
};

}  // namespace px
