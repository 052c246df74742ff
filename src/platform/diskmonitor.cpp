#include "platform/diskmonitor.h"

#include <libudev.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/lasterror.h"

namespace px {

namespace {

// udevd's control socket: while it is there the service runs and sends events to
// monitors; without it a "udev" monitor would hear nothing.
constexpr const char* kUdevControl = "/run/udev/control";

bool StartsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

}  // namespace

DiskMonitor::DiskMonitor(Callback callback) : m_callback(std::move(callback)) {}

DiskMonitor::~DiskMonitor() { Stop(); }

bool DiskMonitor::Classify(const char* action, const char* devType, const char* name, const char* mediaChange,
                           Change& change)
{
    if (!action || !devType || !name || std::strcmp(devType, "disk") != 0)
        return false;
    if (!StartsWith(name, "sd") && !StartsWith(name, "mmcblk"))
        return false;
    if (std::strcmp(action, "add") == 0) {
        change = Change::Added;
        return true;
    }
    if (std::strcmp(action, "remove") == 0) {
        change = Change::Removed;
        return true;
    }
    if (std::strcmp(action, "change") == 0 && mediaChange && std::strcmp(mediaChange, "1") == 0) {
        change = Change::MediaChanged;
        return true;
    }
    return false;
}

bool DiskMonitor::Start(std::string* error)
{
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        Stop();
        return false;
    };
    if (Running())
        return true;
    if (::access(kUdevControl, F_OK) != 0)
        return fail("The udev service is not running: no disk change notices");
    m_udev = udev_new();
    if (!m_udev)
        return fail("Cannot start a udev monitor: " + SystemErrorText(errno));
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor)
        return fail("Cannot start a udev monitor: " + SystemErrorText(errno));
    if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "block", "disk") < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0)
        return fail("Cannot start a udev monitor: " + SystemErrorText(errno));
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return fail("Cannot start a udev monitor: " + SystemErrorText(errno));
    m_thread = std::jthread([this](std::stop_token stop) { Run(stop); });
    return true;
}

void DiskMonitor::Stop()
{
    if (m_thread.joinable()) {
        m_thread.request_stop();
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
        m_thread.join();
    }
    m_thread = std::jthread();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    m_wakeFd = -1;
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    m_monitor = nullptr;
    if (m_udev)
        udev_unref(m_udev);
    m_udev = nullptr;
}

void DiskMonitor::Run(std::stop_token stop)
{
    const int monitorFd = udev_monitor_get_fd(m_monitor);
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{monitorFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        const int n = ::poll(fds, 2, -1);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents || stop.stop_requested())
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (!device)
            continue;
        Change change;
        const char* name = udev_device_get_sysname(device);
        if (Classify(udev_device_get_action(device), udev_device_get_devtype(device), name,
                     udev_device_get_property_value(device, "DISK_MEDIA_CHANGE"), change)) {
            Event event;
            event.change = change;
            event.name = name;
            if (const char* node = udev_device_get_devnode(device))
                event.devNode = node;
            if (m_callback)
                m_callback(event);
        }
        udev_device_unref(device);
    }
}

}  // namespace px
