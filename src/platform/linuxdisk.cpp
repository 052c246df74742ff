#include "platform/linuxdisk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/blocktarget.h"
#include "platform/lasterror.h"
#include "platform/sense.h"
#include "platform/winioctl.h"

namespace px {

namespace {

constexpr uint32_t kBlock = 512;
constexpr uint32_t kControlTimeoutSeconds = 10;   // as the card device's own commands
// O_DIRECT wants the buffer aligned to the device's DMA alignment; a page satisfies
// every block device.
constexpr size_t kDirectAlignment = 4096;

// SCSI answers the platform makes for the block-I/O readers.
constexpr uint8_t kNotReady = 0x2, kMediumError = 0x3, kIllegalRequest = 0x5, kUnitAttention = 0x6,
                  kDataProtect = 0x7;

bool Fail(int code)
{
    SetLastError(code);
    return false;
}

bool IsWriteCommand(uint8_t op)
{
    // WRITE(6), WRITE(10), WRITE AND VERIFY(10), WRITE SAME(10), WRITE(16), WRITE SAME(16), WRITE(12)
    return op == 0x0A || op == 0x2A || op == 0x2E || op == 0x41 || op == 0x8A || op == 0x93 || op == 0xAA;
}

void ClearNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
}

// Opens a disk node for the handle. A removable disk without a medium refuses a plain
// open (ENOMEDIUM), so the open is made again without waiting for one: the empty slot
// must answer NOT READY like any reader. A write-protected medium refuses a writable open
// (EROFS): the disk is opened read-only.
int OpenNode(const std::string& node, bool wantDirect, bool& readOnly, bool& direct)
{
    auto attempt = [&](int mode) -> int {
        if (wantDirect) {
            const int fd = ::open(node.c_str(), mode | O_CLOEXEC | O_DIRECT);
            if (fd >= 0) {
                direct = true;
                return fd;
            }
            if (errno != EINVAL)   // EINVAL: the file system behind the node has no direct I/O
                return -1;
        }
        direct = false;
        return ::open(node.c_str(), mode | O_CLOEXEC);
    };
    auto open = [&](int mode) -> int {
        int fd = attempt(mode);
        if (fd < 0 && errno == ENOMEDIUM) {
            fd = attempt(mode | O_NONBLOCK);
            if (fd >= 0)
                ClearNonBlocking(fd);
        }
        return fd;
    };
    readOnly = false;
    int fd = open(O_RDWR);
    if (fd < 0 && errno == EROFS) {
        readOnly = true;
        fd = open(O_RDONLY);
    }
    return fd;
}

// What both kinds of reader share: the open disk, the lock, the mount checks.
class LinuxDiskHandle : public DeviceHandle {
public:
    LinuxDiskHandle(std::string path, SysfsDisk disk, SysfsSource source, int fd, bool readOnly)
        : DeviceHandle(std::move(path)), m_disk(std::move(disk)), m_source(std::move(source)), m_fd(fd),
          m_readOnly(readOnly)
    {
    }
    ~LinuxDiskHandle() override
    {
        if (m_lockFd >= 0)
            ::close(m_lockFd);
        if (m_fd >= 0)
            ::close(m_fd);
    }

protected:
    // The disk is still there (its sysfs folder is); ENODEV when it is not.
    bool Present() const
    {
        if (::access(m_disk.sysPath.c_str(), F_OK) == 0)
            return true;
        return Fail(ENODEV);
    }

    bool Mounted() const { return !MountsOfDisk(m_source, m_disk).empty(); }

    // Another layer of the system sits on the disk: a device-mapper volume (LVM, LUKS),
    // a RAID array or swap claims it or one of its partitions through "holders", and the
    // mount table does not show it.
    bool HeldBySystem() const
    {
        auto held = [](const std::string& folder) {
            std::error_code ec;
            return std::filesystem::is_directory(folder, ec) && !std::filesystem::is_empty(folder, ec);
        };
        if (held(m_disk.sysPath + "/holders"))
            return true;
        for (const std::string& part : m_disk.partitionNames)
            if (held(m_disk.sysPath + "/" + part + "/holders"))
                return true;
        return false;
    }

    // Stopping or unloading is for cards only: never a fixed disk, never one the system
    // is using.
    bool MayEject() const
    {
        if (!m_disk.removable)
            return Fail(ENOTSUP);
        if (Mounted() || HeldBySystem())
            return Fail(EBUSY);
        return true;
    }

    // An exclusive open of the whole disk fails while any of its partitions is mounted
    // or another program holds it exclusively; flock keeps out other instances of this
    // program, which take the same lock. The mount table is asked first, for the FUSE
    // file systems that do not claim the disk.
    bool Lock() override
    {
        if (m_lockFd >= 0)
            return true;
        if (!Present())
            return false;
        if (Mounted())
            return Fail(EBUSY);
        int fd = ::open(m_disk.devNode.c_str(), O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EROFS)
            fd = ::open(m_disk.devNode.c_str(), O_RDONLY | O_EXCL | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return Fail(errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno == EWOULDBLOCK ? EBUSY : errno;
            ::close(fd);
            return Fail(error);
        }
        m_lockFd = fd;
        return true;
    }

    bool Unlock() override
    {
        if (m_lockFd < 0)
            return Fail(ENOLCK);
        ::flock(m_lockFd, LOCK_UN);
        ::close(m_lockFd);
        m_lockFd = -1;
        return true;
    }

    // Nothing is unmounted for the user: a mounted card makes the request fail.
    bool Dismount() override
    {
        if (!Present())
            return false;
        return Mounted() || HeldBySystem() ? Fail(EBUSY) : true;
    }

    void Identity(DiskFacts& facts) const
    {
        facts.removable = m_disk.removable;
        facts.deviceType = m_disk.scsiType;
        facts.busType = m_disk.busType;
        facts.vendor = m_disk.vendor;
        facts.product = m_disk.product;
        facts.revision = m_disk.revision;
        facts.serial = m_disk.serial;
    }

    SysfsDisk m_disk;
    SysfsSource m_source;
    int m_fd = -1;
    int m_lockFd = -1;
    bool m_readOnly = false;
};

// A SCSI disk: every command goes to the reader through SG_IO.
class ScsiDiskHandle : public LinuxDiskHandle {
public:
    ScsiDiskHandle(std::string path, SysfsDisk disk, SysfsSource source, int fd, bool readOnly, SgIoctl ioctl)
        : LinuxDiskHandle(std::move(path), std::move(disk), std::move(source), fd, readOnly),
          m_ioctl(std::move(ioctl))
    {
    }
    ~ScsiDiskHandle() override
    {
        if (m_sgFd >= 0)
            ::close(m_sgFd);
    }

protected:
    bool Execute(const ScsiRequest& request, ScsiResult& result) override
    {
        if (!request.cdb || request.cdbLength == 0)
            return Fail(EINVAL);
        const uint8_t op = request.cdb[0];
        if (m_readOnly && IsWriteCommand(op)) {
            // The kernel found the medium write-protected; the reader would say so too.
            result = ScsiResult{};
            MakeSense(result, kDataProtect, 0x27, 0x00);
            return true;
        }
        if (IsVendorCommand(op)) {
            const int fd = GenericFd();
            if (fd < 0)
                return Fail(EPERM);
            return ExecuteSgIo(fd, request, result, m_ioctl);
        }
        return ExecuteSgIo(m_fd, request, result, m_ioctl);
    }

    bool Facts(DiskFacts& facts) override
    {
        if (!Present())
            return false;
        facts = DiskFacts{};
        Identity(facts);
        facts.maxTransferBytes = MaxTransferBytes();
        return Capacity(facts.blockCount, facts.mediaPresent);
    }

    bool Eject() override
    {
        if (!Present() || !MayEject())
            return false;
        ScsiResult result;
        // PREVENT ALLOW MEDIUM REMOVAL, allow. Readers without a lock refuse it with
        // ILLEGAL REQUEST, and the kernel refuses it on a read-only open (a write-protected
        // card): neither stops the eject.
        const uint8_t allow[6] = {0x1E, 0, 0, 0, 0x00, 0};
        Send(allow, 6, result);
        // START STOP UNIT: LoEj with Start clear unloads the medium.
        const uint8_t unload[6] = {0x1B, 0, 0, 0, 0x02, 0};
        if (!Send(unload, 6, result))
            return false;
        if (result.status == 0)
            return true;
        const SenseData sense = ParseSense(result.sense, result.senseLength);
        const uint8_t key = sense.Key;
        if (sense.Valid && key == kNotReady && sense.Asc == 0x3A)
            return true;   // the slot is empty already
        return Fail(key == kIllegalRequest ? ENOTSUP : EIO);
    }

private:
    // The largest SG_IO transfer the kernel takes for this disk: sysfs max_sectors_kb, else
    // BLKSECTGET, else 120 KiB (usb-storage's default of 240 sectors).
    uint32_t MaxTransferBytes() const
    {
        if (m_disk.maxTransferBytes >= 512)
            return m_disk.maxTransferBytes;
        unsigned short sectors = 0;
        if (::ioctl(m_fd, BLKSECTGET, &sectors) == 0 && sectors > 0)
            return static_cast<uint32_t>(sectors) * 512;
        return 240 * 512;
    }

    bool Send(const uint8_t* cdb, uint8_t length, ScsiResult& result, uint8_t* data = nullptr, uint32_t dataLength = 0)
    {
        ScsiRequest request;
        request.cdb = cdb;
        request.cdbLength = length;
        request.direction = data ? spt::DATA_IN : spt::DATA_UNSPECIFIED;
        request.data = data;
        request.dataLength = dataLength;
        request.timeoutSeconds = kControlTimeoutSeconds;
        return ExecuteSgIo(m_fd, request, result, m_ioctl);
    }

    // The card's size from READ CAPACITY, in 512-byte blocks. A reader with an empty slot
    // answers CHECK CONDITION: no medium, true. A freshly inserted card answers UNIT
    // ATTENTION first; the question is asked again. False when the request failed.
    bool Capacity(uint64_t& blocks, bool& present)
    {
        blocks = 0;
        present = false;
        for (int attempt = 0; attempt < 3; ++attempt) {
            uint8_t data[32] = {};
            ScsiResult result;
            const uint8_t readCapacity10[10] = {0x25};
            if (!Send(readCapacity10, 10, result, data, 8))
                return false;
            if (result.status == 0 && result.transferred >= 8) {
                uint64_t last = GetBE32(data);
                uint64_t length = GetBE32(data + 4);
                if (last == 0xFFFFFFFFu) {
                    // Too large for 32 bits: READ CAPACITY(16), SERVICE ACTION IN 10h.
                    const uint8_t readCapacity16[16] = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0};
                    std::memset(data, 0, sizeof data);
                    if (!Send(readCapacity16, 16, result, data, 32))
                        return false;
                    if (result.status != 0 || result.transferred < 12)
                        return true;
                    last = (uint64_t(GetBE32(data)) << 32) | GetBE32(data + 4);
                    length = GetBE32(data + 8);
                }
                if (length == 0)
                    length = kBlock;
                blocks = (last + 1) * length / kBlock;
                present = true;
                return true;
            }
            const SenseData sense = ParseSense(result.sense, result.senseLength);
            const bool unitAttention = sense.Valid && sense.Key == kUnitAttention;
            if (!unitAttention)
                return true;
        }
        return true;
    }

    // The generic node, opened read-write on first use; -1 when there is none or it
    // cannot be opened.
    int GenericFd()
    {
        if (m_sgFd < 0 && !m_sgTried) {
            m_sgTried = true;
            if (!m_disk.sgNode.empty())
                m_sgFd = ::open(m_disk.sgNode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        }
        return m_sgFd;
    }

    SgIoctl m_ioctl;
    int m_sgFd = -1;
    bool m_sgTried = false;
};

struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};

// An SD card in an mmc host: no SCSI below, so the commands the card device sends are
// answered here from plain block I/O.
class BlockDiskHandle : public LinuxDiskHandle, private BlockTarget {
public:
    BlockDiskHandle(std::string path, SysfsDisk disk, SysfsSource source, int fd, bool readOnly, bool direct)
        : LinuxDiskHandle(std::move(path), std::move(disk), std::move(source), fd, readOnly), m_direct(direct)
    {
    }

protected:
    bool Execute(const ScsiRequest& request, ScsiResult& result) override
    {
        if (!request.cdb || request.cdbLength == 0)
            return Fail(EINVAL);
        if (!Present())
            return false;
        return ExecuteCommand(request, result);
    }

    // The target's side: the disk's identity from sysfs, its size, its block I/O.
    BlockTarget::Identity InquiryIdentity() const override { return {m_disk.vendor, m_disk.product, m_disk.revision}; }

    bool Ready(ScsiResult& result, uint64_t& blocks) override
    {
        uint64_t bytes = 0;
        if (!Size(bytes)) {
            const int error = errno;
            if (error != ENOMEDIUM)
                return Fail(error);
            bytes = 0;
        }
        blocks = bytes / kBlock;
        if (blocks == 0)
            MakeSense(result, kNotReady, 0x3A, 0x00);   // medium not present
        return true;
    }

    bool WriteProtected() const override { return m_readOnly; }

    bool Transfer(bool write, uint64_t first, uint64_t count, uint8_t* data, ScsiResult& result) override
    {
        uint64_t moved = 0;
        const int error = Move(write, first, count, data, moved);
        result.transferred = static_cast<uint32_t>(moved);
        if (error == 0)
            return true;
        return Failure(error, result, write, first + moved / kBlock);
    }

    bool Facts(DiskFacts& facts) override
    {
        if (!Present())
            return false;
        facts = DiskFacts{};
        LinuxDiskHandle::Identity(facts);
        uint64_t bytes = 0;
        if (!Size(bytes)) {
            if (errno != ENOMEDIUM)
                return Fail(errno);
            bytes = 0;
        }
        facts.blockCount = bytes / kBlock;
        facts.mediaPresent = facts.blockCount > 0;
        return true;
    }

    // An mmc host slot has no way to push the card out: its "eject" writes everything out
    // and has the kernel read the (new) partition table, so the card can be pulled.
    bool Eject() override
    {
        if (!Present() || !MayEject())
            return false;
        if (::fsync(m_fd) != 0 && errno != EINVAL)
            return Fail(errno);
        ::ioctl(m_fd, BLKFLSBUF, 0);
        ::ioctl(m_fd, BLKRRPART, 0);   // busy while partitions are open: the next insertion reads it
        return true;
    }

private:
    // The disk's size in bytes; false with errno set.
    bool Size(uint64_t& bytes) const
    {
        struct stat st{};
        if (::fstat(m_fd, &st) != 0)
            return false;
        if (S_ISBLK(st.st_mode))
            return ::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0;
        bytes = static_cast<uint64_t>(st.st_size);
        return true;
    }

    // The errno of a block I/O request as the reader's answer: a missing medium is NOT
    // READY, a refused write DATA PROTECT, a vanished disk fails the request, and any
    // other error is a medium error at the block where the transfer stopped.
    bool Failure(int error, ScsiResult& result, bool write, uint64_t atBlock)
    {
        switch (error) {
        case ENOMEDIUM:
            MakeSense(result, kNotReady, 0x3A, 0x00);
            return true;
        case ENODEV:
        case ENXIO:
        case ESHUTDOWN:
            return Fail(error);
        case EROFS:
        case EPERM:
        case EACCES:
            if (write) {
                MakeSense(result, kDataProtect, 0x27, 0x00);
                return true;
            }
            return Fail(error);
        default:
            MakeSense(result, kMediumError, write ? 0x0C : 0x11, 0x00, static_cast<int64_t>(atBlock));
            return true;
        }
    }

    // Moves count blocks from or to the disk; returns 0 or the errno that stopped it, with
    // the bytes moved before that.
    int Move(bool write, uint64_t first, uint64_t count, uint8_t* data, uint64_t& moved)
    {
        moved = 0;
        const size_t length = static_cast<size_t>(count * kBlock);
        if (length == 0)
            return 0;
        uint8_t* buffer = data;
        std::unique_ptr<uint8_t, FreeDeleter> bounce;
        if (m_direct) {
            const size_t rounded = (length + kDirectAlignment - 1) / kDirectAlignment * kDirectAlignment;
            bounce.reset(static_cast<uint8_t*>(std::aligned_alloc(kDirectAlignment, rounded)));
            if (!bounce)
                return ENOMEM;
            buffer = bounce.get();
            if (write)
                std::memcpy(buffer, data, length);
        }
        const off_t offset = static_cast<off_t>(first * kBlock);
        int error = 0;
        size_t done = 0;
        while (done < length) {
            const ssize_t n = write ? ::pwrite(m_fd, buffer + done, length - done, offset + static_cast<off_t>(done))
                                    : ::pread(m_fd, buffer + done, length - done, offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : EIO;
                break;
            }
            done += static_cast<size_t>(n);
        }
        // Without direct I/O a write lands in the page cache; its fault shows only at the
        // flush, which must come before the answer.
        if (write && !m_direct && error == 0 && ::fdatasync(m_fd) != 0)
            error = errno == EINVAL ? 0 : errno;
        // Only whole blocks count as moved.
        done = done / kBlock * kBlock;
        if (m_direct && !write && done)
            std::memcpy(data, buffer, done);
        moved = done;
        return error;
    }

    bool m_direct = false;
};

}  // namespace

Handle OpenLinuxDisk(const std::string& handlePath, const SysfsDisk& disk, const SysfsSource& source,
                     SgIoctl ioctl)
{
    if (disk.kind == SysfsDisk::Kind::Other || disk.devNode.empty()) {
        SetLastError(ENODEV);
        return nullptr;
    }
    bool readOnly = false, direct = false;
    const bool block = disk.kind == SysfsDisk::Kind::Mmc;
    const int fd = OpenNode(disk.devNode, block, readOnly, direct);
    if (fd < 0) {
        SetLastError(errno);
        return nullptr;
    }
    if (block)
        return std::make_shared<BlockDiskHandle>(handlePath, disk, source, fd, readOnly, direct);
    return std::make_shared<ScsiDiskHandle>(handlePath, disk, source, fd, readOnly,
                                            ioctl ? std::move(ioctl) : SystemSgIoctl());
}

Handle OpenLinuxDiskPath(const std::string& path, const SysfsSource& source, SgIoctl ioctl)
{
    const std::string name = WholeDiskOfPath(source, path);
    SysfsDisk disk;
    // Only card readers: a path must never open the machine's own disk for writing.
    if (name.empty() || !ReadSysfsDisk(source, name, disk) || !IsReaderDisk(disk)) {
        SetLastError(ENODEV);
        return nullptr;
    }
    return OpenLinuxDisk(disk.devNode, disk, source, std::move(ioctl));
}

}  // namespace px
