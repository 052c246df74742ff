#pragma once
// Change notices for block disks: a libudev monitor on "block"/"disk" that reports a disk
// added, a disk removed, and a medium change of a removable disk (a card put into or
// taken out of a reader slot: udev's change event with DISK_MEDIA_CHANGE=1). It stands in
// for the desktop shell's media and drive notices; when it cannot start, the caller falls
// back to polling.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

struct udev;
struct udev_monitor;

namespace px {

class DiskMonitor {
public:
    enum class Change { Added, Removed, MediaChanged };
    struct Event {
        Change change = Change::Added;
        std::string name;      // kernel name: "sdb", "mmcblk0"
        std::string devNode;   // "/dev/sdb", empty when udev gave none
    };
    // Called on the monitor's own thread, one event at a time.
    using Callback = std::function<void(const Event&)>;

    explicit DiskMonitor(Callback callback);
    ~DiskMonitor();
    DiskMonitor(const DiskMonitor&) = delete;
    DiskMonitor& operator=(const DiskMonitor&) = delete;

    // Starts listening on a thread of its own. False with a message when no notices can
    // come: the udev service is not running (so nobody would send them), or the monitor
    // cannot be made.
    bool Start(std::string* error);
    // Stops listening and joins the thread; no callback runs after it returns.
    void Stop();
    bool Running() const { return m_thread.joinable(); }

    // Which udev events are notices: "add" and "remove" of a disk, "change" of a disk
    // with DISK_MEDIA_CHANGE set. Partitions and other changes are not. Only the disks that
    // can be card readers (sd*, mmcblk*) count. False for everything else.
    static bool Classify(const char* action, const char* devType, const char* name, const char* mediaChange,
                         Change& change);

private:
    void Run(std::stop_token stop);

    Callback m_callback;
    ::udev* m_udev = nullptr;
    ::udev_monitor* m_monitor = nullptr;
    int m_wakeFd = -1;
    std::jthread m_thread;
};

}  // namespace px
