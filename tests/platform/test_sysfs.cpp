// Finding real card readers in sysfs, with a fake sysfs tree laid out as the kernel lays
// it out: a two-slot USB reader (one slot empty), a USB disk with fixed media, an SD card
// in an mmc host, and the machine's own disks (SATA, NVMe, virtio, an optical drive, a
// loop device, eMMC). Then the volume table over that tree: letters, drive types, mounts,
// free space, and the mmc reader served by plain block I/O.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "platform/diskmonitor.h"
#include "platform/lasterror.h"
#include "platform/linuxdisk.h"
#include "platform/sysfsdisks.h"
#include "platform/volumetable.h"
#include "platform/winioctl.h"
#include "support/fixtures.h"

using namespace px;
namespace fs = std::filesystem;

namespace {

constexpr const char* kUsbPort = "devices/pci0000:00/0000:00:14.0/usb2/2-1";
constexpr const char* kUsbHost = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6";
constexpr const char* kUasHost = "devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7";
constexpr const char* kSataHost = "devices/pci0000:00/0000:00:17.0/ata1/host0";
constexpr const char* kOpticalHost = "devices/pci0000:00/0000:00:17.0/ata2/host1";
constexpr const char* kSdCard = "devices/pci0000:00/0000:00:1e.6/mmc_host/mmc0/mmc0:aaaa";
constexpr const char* kEmmc = "devices/platform/fe330000.mmc/mmc_host/mmc1/mmc1:0001";

// A fake sysfs tree in a temporary folder.
class FakeSysfs {
public:
    explicit FakeSysfs(std::string root) : m_root(std::move(root))
    {
        fs::create_directories(m_root + "/block");
        fs::create_directories(m_root + "/class/block");
        fs::create_directories(m_root + "/dev/block");
    }
    const std::string& Root() const { return m_root; }

    void Write(const std::string& relative, const std::string& text)
    {
        const std::string path = m_root + "/" + relative;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path) << text << "\n";
    }

    void Host(const std::string& host, const std::string& procName)
    {
        const std::string name = fs::path(host).filename().string();
        Write(host + "/scsi_host/" + name + "/proc_name", procName);
    }

    // A SCSI disk "name" at host/targetH:0:0/H:0:0:L with its identity and sysfs files.
    std::string ScsiDisk(const std::string& host, int lun, const std::string& name, const std::string& vendor,
                         const std::string& model, const std::string& type, bool removable, uint64_t sectors,
                         unsigned major, unsigned minor, const std::string& sg = {})
    {
        const std::string h = fs::path(host).filename().string().substr(4);
        const std::string device = host + "/target" + h + ":0:0/" + h + ":0:0:" + std::to_string(lun);
        Write(device + "/vendor", vendor);
        Write(device + "/model", model);
        Write(device + "/rev", "1.00");
        Write(device + "/type", type);
        if (!sg.empty())
            fs::create_directories(m_root + "/" + device + "/scsi_generic/" + sg);
        const std::string disk = device + "/block/" + name;
        Block(disk, name, removable, sectors, major, minor);
        fs::create_symlink("../../../" + h + ":0:0:" + std::to_string(lun), m_root + "/" + disk + "/device");
        return disk;
    }

    void Block(const std::string& disk, const std::string& name, bool removable, uint64_t sectors, unsigned major,
               unsigned minor)
    {
        Write(disk + "/removable", removable ? "1" : "0");
        Write(disk + "/size", std::to_string(sectors));
        Write(disk + "/ro", "0");
        Write(disk + "/dev", std::to_string(major) + ":" + std::to_string(minor));
        Link("block/" + name, disk);
        Link("class/block/" + name, disk);
        Link("dev/block/" + std::to_string(major) + ":" + std::to_string(minor), disk);
    }

    void Partition(const std::string& disk, const std::string& name, unsigned major, unsigned minor)
    {
        Write(disk + "/" + name + "/partition", "1");
        Write(disk + "/" + name + "/dev", std::to_string(major) + ":" + std::to_string(minor));
        Link("class/block/" + name, disk + "/" + name);
        Link("dev/block/" + std::to_string(major) + ":" + std::to_string(minor), disk + "/" + name);
    }

    // A relative link at "at" pointing to "target", both relative to the root.
    void Link(const std::string& at, const std::string& target)
    {
        const fs::path from = fs::path(m_root) / at;
        fs::create_symlink(fs::relative(fs::path(m_root) / target, from.parent_path()), from);
    }

    void Remove(const std::string& relative) { fs::remove_all(m_root + "/" + relative); }

private:
    std::string m_root;
};

// The machine of the tests.
void BuildMachine(FakeSysfs& sys)
{
    // A two-slot USB card reader: sdb holds a card with one partition, sdc is empty.
    sys.Write(std::string(kUsbPort) + "/idVendor", "0bda");
    sys.Write(std::string(kUsbPort) + "/idProduct", "0158");
    sys.Write(std::string(kUsbPort) + "/serial", "000000001206");
    sys.Host(kUsbHost, "usb-storage");
    const std::string sdb = sys.ScsiDisk(kUsbHost, 0, "sdb", "Generic-", "SD/MMC          ", "0", true, 3911680, 8,
                                         16, "sg1");
    sys.Partition(sdb, "sdb1", 8, 17);
    sys.ScsiDisk(kUsbHost, 1, "sdc", "Generic-", "CF Card         ", "0", true, 0, 8, 32, "sg2");
    // A USB disk on a uas host, fixed media.
    sys.Write("devices/pci0000:00/0000:00:14.0/usb2/2-2/idVendor", "152d");
    sys.Write("devices/pci0000:00/0000:00:14.0/usb2/2-2/serial", "DD564198838B5");
    sys.Host(kUasHost, "uas");
    sys.ScsiDisk(kUasHost, 0, "sdd", "Brisko", "Generic         ", "0", false, 1953525168, 8, 48, "sg3");
    // The machine's own SATA disk and optical drive.
    sys.Host(kSataHost, "ahci");
    const std::string sda =
        sys.ScsiDisk(kSataHost, 0, "sda", "ATA     ", "Vantor SSD 860  ", "0", false, 976773168, 8, 0, "sg0");
    sys.Partition(sda, "sda1", 8, 1);
    sys.Host(kOpticalHost, "ahci");
    sys.ScsiDisk(kOpticalHost, 0, "sr0", "HL-DT-ST", "DVDRAM GH24NSD1 ", "5", true, 0, 11, 0, "sg4");
    // An SD card in a PCI card reader's mmc host, and a soldered-in eMMC.
    sys.Write(std::string(kSdCard) + "/type", "SD");
    sys.Write(std::string(kSdCard) + "/name", "SC32G");
    sys.Write(std::string(kSdCard) + "/serial", "0x1a2b3c4d");
    sys.Write(std::string(kSdCard) + "/fwrev", "0x0");
    const std::string mmc = std::string(kSdCard) + "/block/mmcblk0";
    sys.Block(mmc, "mmcblk0", false, 62333952, 179, 0);
    sys.Link(mmc + "/device", kSdCard);
    sys.Partition(mmc, "mmcblk0p1", 179, 1);
    sys.Write(std::string(kEmmc) + "/type", "MMC");
    sys.Write(std::string(kEmmc) + "/name", "8GTF4R");
    const std::string emmc = std::string(kEmmc) + "/block/mmcblk1";
    sys.Block(emmc, "mmcblk1", false, 15269888, 179, 32);
    sys.Link(emmc + "/device", kEmmc);
    // NVMe, virtio, loop.
    sys.Block("devices/pci0000:00/0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1", "nvme0n1", false, 1000215216, 259,
              0);
    sys.Block("devices/pci0000:00/0000:00:05.0/virtio2/block/vda", "vda", false, 536870912, 254, 0);
    sys.Block("devices/virtual/block/loop0", "loop0", false, 0, 7, 0);
}

// ID_PATH as udev makes it: the port of the reader, then the LUN.
std::string IdPathOf(const SysfsDisk& disk)
{
    static const std::map<std::string, std::string> paths = {
        // The empty slot sorts first: the order follows the ports, not the names.
        {"sdc", "pci-0000:00:14.0-usb-0:1:1.0-scsi-0:0:0:0"},
        {"sdb", "pci-0000:00:14.0-usb-0:1:1.0-scsi-0:0:0:1"},
        {"sdd", "pci-0000:00:14.0-usb-0:2:1.0-scsi-0:0:0:0"},
        {"sde", "pci-0000:00:14.0-usb-0:0:1.0-scsi-0:0:0:0"},
        {"mmcblk0", "pci-0000:00:1e.6-platform-sdhci"},
    };
    auto it = paths.find(disk.name);
    return it == paths.end() ? std::string() : it->second;
}

class SysfsTest : public ::testing::Test {
protected:
    SysfsTest() : sys(home.File("sys"))
    {
        BuildMachine(sys);
        fs::create_directories(home.File("dev"));
        source.sysRoot = sys.Root();
        source.devRoot = home.File("dev");
        source.mountInfo = home.File("mountinfo");
        source.idPath = IdPathOf;
        WriteMountInfo("22 1 0:21 / /proc rw,relatime - proc proc rw\n"
                       "27 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n");
    }
    void WriteMountInfo(const std::string& text) { std::ofstream(source.mountInfo) << text; }

    std::vector<std::string> Names(const std::vector<SysfsDisk>& disks)
    {
        std::vector<std::string> names;
        for (const SysfsDisk& d : disks)
            names.push_back(d.name);
        return names;
    }

    test::TempHome home;
    FakeSysfs sys;
    SysfsSource source;
};

TEST_F(SysfsTest, ReadersAreUsbAndRemovableDisksAndSdCardsInPortOrder)
{
    const auto disks = ScanReaderDisks(source);
    EXPECT_EQ(Names(disks), (std::vector<std::string>{"sdc", "sdb", "sdd", "mmcblk0"}));
    ASSERT_EQ(disks.size(), 4u);

    const SysfsDisk& empty = disks[0];
    EXPECT_EQ(empty.sizeSectors, 0u) << "an empty slot is listed all the same";
    EXPECT_TRUE(empty.removable);
    EXPECT_EQ(empty.product, "CF Card");

    const SysfsDisk& sdb = disks[1];
    EXPECT_EQ(sdb.kind, SysfsDisk::Kind::Scsi);
    EXPECT_EQ(sdb.vendor, "Generic-");
    EXPECT_EQ(sdb.product, "SD/MMC");
    EXPECT_EQ(sdb.revision, "1.00");
    EXPECT_EQ(sdb.serial, "000000001206");
    EXPECT_EQ(sdb.hostDriver, "usb-storage");
    EXPECT_TRUE(sdb.usb);
    EXPECT_TRUE(sdb.removable);
    EXPECT_EQ(sdb.busType, BusTypeUsb);
    EXPECT_EQ(sdb.sgNode, home.File("dev") + "/sg1");
    EXPECT_EQ(sdb.devNode, home.File("dev") + "/sdb");
    EXPECT_EQ(sdb.sizeSectors, 3911680u);
    EXPECT_EQ(sdb.major, 8u);
    EXPECT_EQ(sdb.minor, 16u);
    EXPECT_EQ(sdb.partitionNames, (std::vector<std::string>{"sdb1"}));
    EXPECT_EQ(sdb.partitions, (std::vector<std::pair<unsigned, unsigned>>{{8, 17}}));

    const SysfsDisk& usbDisk = disks[2];
    EXPECT_EQ(usbDisk.hostDriver, "uas");
    EXPECT_EQ(usbDisk.busType, BusTypeUsb);
    EXPECT_FALSE(usbDisk.removable) << "a USB disk with fixed media is listed, as fixed";
    EXPECT_EQ(usbDisk.serial, "DD564198838B5");

    const SysfsDisk& sd = disks[3];
    EXPECT_EQ(sd.kind, SysfsDisk::Kind::Mmc);
    EXPECT_TRUE(sd.removable);
    EXPECT_EQ(sd.busType, BusTypeUnknown);
    EXPECT_EQ(sd.product, "SC32G");
    EXPECT_EQ(sd.serial, "0x1a2b3c4d");
    EXPECT_TRUE(sd.sgNode.empty());
}

TEST_F(SysfsTest, TheMachinesOwnDisksAreNeverReaders)
{
    for (const char* name : {"sda", "sr0", "nvme0n1", "vda", "loop0", "mmcblk1"}) {
        SysfsDisk disk;
        ASSERT_TRUE(ReadSysfsDisk(source, name, disk)) << name;
        EXPECT_FALSE(IsReaderDisk(disk)) << name;
    }
    SysfsDisk sata;
    ASSERT_TRUE(ReadSysfsDisk(source, "sda", sata));
    EXPECT_EQ(sata.busType, BusTypeAta);
    EXPECT_EQ(sata.hostDriver, "ahci");
    EXPECT_FALSE(sata.usb);
    SysfsDisk partition;
    EXPECT_FALSE(ReadSysfsDisk(source, "sdb1", partition)) << "a partition is not a disk";
    EXPECT_FALSE(ReadSysfsDisk(source, "../block/sdb", partition));
    EXPECT_FALSE(ReadSysfsDisk(source, "nosuch", partition));
}

TEST_F(SysfsTest, WithoutUdevThePortOrderComesFromTheDevicePath)
{
    source.idPath = [](const SysfsDisk&) { return std::string(); };
    const auto disks = ScanReaderDisks(source);
    // /devices/pci0000:00/0000:00:14.0/... (USB) before /devices/pci0000:00/0000:00:1e.6/... (mmc);
    // LUN 0 before LUN 1.
    EXPECT_EQ(Names(disks), (std::vector<std::string>{"sdb", "sdc", "sdd", "mmcblk0"}));
    EXPECT_EQ(disks[0].idPath, disks[0].deviceKey);
    EXPECT_EQ(disks[0].deviceKey.rfind("/devices/pci0000:00/0000:00:14.0/usb2/2-1/", 0), 0u) << disks[0].deviceKey;
}

TEST_F(SysfsTest, PartitionsResolveToTheirDisk)
{
    EXPECT_EQ(WholeDiskName(source, "sdb1"), "sdb");
    EXPECT_EQ(WholeDiskName(source, "sdb"), "sdb");
    EXPECT_EQ(WholeDiskName(source, "mmcblk0p1"), "mmcblk0");
    EXPECT_EQ(WholeDiskName(source, "sdz9"), "");
    EXPECT_EQ(WholeDiskName(source, ".."), "");
    EXPECT_EQ(WholeDiskName(source, ""), "");
    EXPECT_EQ(WholeDiskOfPath(source, "/dev/sdb1"), "sdb");
    EXPECT_EQ(WholeDiskOfPath(source, "/dev/mmcblk0p1"), "mmcblk0");
    EXPECT_EQ(WholeDiskOfPath(source, "/nowhere/sdq1"), "");
}

TEST_F(SysfsTest, MountTableEntriesOfACard)
{
    const auto entries = ParseMountInfo(
        "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue\n"
        "40 27 8:17 / /media/anna/EOS\\040DIGITAL rw,nosuid shared:1 - vfat /dev/sdb1 rw\n"
        "41 27 0:52 / /media/anna/X5 rw shared:2 - fuseblk /dev/sdc1 rw\n"
        "garbage line\n"
        "42 27 8:1 / /home rw - ext4 /dev/sda1 rw\n");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].mountPoint, "/mnt2");
    EXPECT_EQ(entries[0].fileSystem, "ext3");
    EXPECT_EQ(entries[1].mountPoint, "/media/anna/EOS DIGITAL");
    EXPECT_EQ(entries[1].major, 8u);
    EXPECT_EQ(entries[1].minor, 17u);
    EXPECT_EQ(entries[2].source, "/dev/sdc1");

    WriteMountInfo("27 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                   "40 27 8:17 / /media/anna/EOS\\040DIGITAL rw,nosuid shared:1 - vfat /dev/sdb1 rw\n"
                   "41 27 0:52 / /media/anna/X5 rw shared:2 - fuseblk /dev/sdc1 rw\n");
    SysfsDisk sdb, sdc, sda;
    ASSERT_TRUE(ReadSysfsDisk(source, "sdb", sdb));
    ASSERT_TRUE(ReadSysfsDisk(source, "sdc", sdc));
    ASSERT_TRUE(ReadSysfsDisk(source, "sda", sda));
    const auto sdbMounts = MountsOfDisk(source, sdb);
    ASSERT_EQ(sdbMounts.size(), 1u);
    EXPECT_EQ(sdbMounts[0].mountPoint, "/media/anna/EOS DIGITAL");
    // A FUSE mount has no device number of the disk: its source names the node. (The fake
    // sdc has no partition in sysfs; the mount is found all the same.)
    sdc.partitionNames.push_back("sdc1");
    ASSERT_EQ(MountsOfDisk(source, sdc).size(), 1u);
    EXPECT_EQ(MountsOfDisk(source, sda).size(), 1u);

    const std::string text = MountedDiskText("/dev/sdb", sdbMounts);
    EXPECT_NE(text.find("/dev/sdb"), std::string::npos);
    EXPECT_NE(text.find("mounted at /media/anna/EOS DIGITAL"), std::string::npos) << text;
    EXPECT_NE(text.find("Unmount it first"), std::string::npos) << text;
    EXPECT_NE(text.find("umount '/media/anna/EOS DIGITAL'"), std::string::npos) << text;
    const std::string busy = MountedDiskText("/dev/sdb", {});
    EXPECT_NE(busy.find("in use by another program"), std::string::npos) << busy;

    const std::string denied = AccessDeniedText("/dev/sdb");
    EXPECT_NE(denied.find("/dev/sdb"), std::string::npos);
    EXPECT_NE(denied.find("60-pixsalvo3-card-readers.rules"), std::string::npos);
    EXPECT_NE(denied.find("disk group"), std::string::npos);
}

TEST(SysfsLive, TheLiveSystemListsNoFixedDisk)
{
    // Whatever this machine has: a disk listed as a reader is removable, on USB, or an SD
    // card; every other whole disk is left out.
    SysfsSource live;
    for (const SysfsDisk& disk : ScanReaderDisks(live)) {
        EXPECT_TRUE(disk.removable || disk.usb || disk.mmcType == "SD") << disk.name;
        EXPECT_EQ(disk.devNode, "/dev/" + disk.name);
    }
    for (const auto& entry : fs::directory_iterator("/sys/block")) {
        SysfsDisk disk;
        const std::string name = entry.path().filename().string();
        ASSERT_TRUE(ReadSysfsDisk(live, name, disk)) << name;
        if (!disk.removable && !disk.usb && disk.kind != SysfsDisk::Kind::Mmc) {
            EXPECT_FALSE(IsReaderDisk(disk)) << name;
        }
    }
}

// The volume table over the fake machine.
class ReaderTableTest : public SysfsTest {
protected:
    void SetUp() override
    {
        VolumeTable::Instance().DetachAll();
        ReaderSource readers;
        readers.sysfs = source;
        readers.ioctl = [this](int, sg_io_hdr_t* hdr) { return Answer(*hdr); };
        VolumeTable::Instance().SetReaderSource(readers);
    }
    void TearDown() override
    {
        VolumeTable::Instance().DetachAll();
        VolumeTable::Instance().SetReaderSource(ReaderSource{});
    }

    // The USB readers' answers: a 1 GiB card.
    int Answer(sg_io_hdr_t& hdr)
    {
        ++sgCalls;
        if (hdr.cmdp[0] == 0x25 && hdr.dxferp) {
            PutBE32(static_cast<uint8_t*>(hdr.dxferp), 2097151);
            PutBE32(static_cast<uint8_t*>(hdr.dxferp) + 4, 512);
        }
        return 0;
    }

    std::string Image(const std::string& name, uint64_t bytes)
    {
        const std::string path = home.File(name);
        EXPECT_TRUE(test::MakeBlankImage(path, bytes));
        return path;
    }

    int sgCalls = 0;
};

TEST_F(ReaderTableTest, ReadersFollowTheImagesAndKeepTheirLetters)
{
    auto& table = VolumeTable::Instance();
    char letter = 0;
    ASSERT_TRUE(table.Attach("E=" + Image("a.img", 1 << 20), &letter, nullptr));
    // After the image at E: the readers in port order from F; the SATA disk never.
    EXPECT_EQ(table.Letters(), (std::vector<char>{'E', 'F', 'G', 'H', 'I'}));
    SysfsDisk disk;
    ASSERT_TRUE(table.ReaderDisk('f', disk));
    EXPECT_EQ(disk.name, "sdc");
    ASSERT_TRUE(table.ReaderDisk('G', disk));
    EXPECT_EQ(disk.name, "sdb");
    ASSERT_TRUE(table.ReaderDisk('H', disk));
    EXPECT_EQ(disk.name, "sdd");
    ASSERT_TRUE(table.ReaderDisk('I', disk));
    EXPECT_EQ(disk.name, "mmcblk0");
    EXPECT_FALSE(table.ReaderDisk('E', disk));
    EXPECT_EQ(table.DriveType('E'), DRIVE_REMOVABLE);
    EXPECT_EQ(table.DriveType('F'), DRIVE_REMOVABLE);
    EXPECT_EQ(table.DriveType('H'), DRIVE_FIXED);
    EXPECT_EQ(table.DriveType('I'), DRIVE_REMOVABLE);
    EXPECT_EQ(table.DriveType('J'), DRIVE_NO_ROOT_DIR);
    EXPECT_EQ(table.LogicalDriveStrings(), std::string("E:\\\0F:\\\0G:\\\0H:\\\0I:\\\0\0", 21));

    // A new reader on a port that sorts first takes the next free letter; the others keep
    // theirs. A reader that goes away gives its letter up.
    sys.Write("devices/pci0000:00/0000:00:14.0/usb2/2-3/idVendor", "058f");
    sys.Host("devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host8", "usb-storage");
    sys.ScsiDisk("devices/pci0000:00/0000:00:14.0/usb2/2-3/2-3:1.0/host8", 0, "sde", "Multi", "Flash Reader", "0",
                 true, 0, 8, 64);
    EXPECT_EQ(table.Letters(), (std::vector<char>{'E', 'F', 'G', 'H', 'I', 'J'}));
    ASSERT_TRUE(table.ReaderDisk('J', disk));
    EXPECT_EQ(disk.name, "sde");
    sys.Remove("block/sdd");
    EXPECT_EQ(table.Letters(), (std::vector<char>{'E', 'F', 'G', 'I', 'J'}));
    ASSERT_TRUE(table.ReaderDisk('J', disk));
    EXPECT_EQ(disk.name, "sde");
    ASSERT_TRUE(table.ReaderDisk('G', disk));
    EXPECT_EQ(disk.name, "sdb");
    EXPECT_FALSE(table.ReaderDisk('H', disk));

    // An image attached now takes a letter no reader has; a reader's letter cannot be asked for.
    ASSERT_TRUE(table.Attach(Image("b.img", 1 << 20), &letter, nullptr));
    EXPECT_EQ(letter, 'D');
    std::string error;
    EXPECT_FALSE(table.Attach("G=" + Image("c.img", 1 << 20), nullptr, &error));
    EXPECT_NE(error.find("card reader"), std::string::npos) << error;
    EXPECT_NE(error.find("/sdb"), std::string::npos) << error;
    ASSERT_TRUE(table.Attach(Image("d.img", 1 << 20), &letter, nullptr));
    EXPECT_EQ(letter, 'H');

    // Readers turned off: only the images.
    ReaderSource off;
    off.enabled = false;
    table.SetReaderSource(off);
    EXPECT_EQ(table.Letters(), (std::vector<char>{'D', 'E', 'H'}));
}

TEST_F(ReaderTableTest, UsbReadersOpenThroughSgIoWithTheCardsBlockCount)
{
    auto& table = VolumeTable::Instance();
    ASSERT_TRUE(Image("dev/sdb", 0).size());
    const auto letters = table.Letters();
    ASSERT_EQ(letters.size(), 4u);
    // No image: the readers from D (sdc, sdb, sdd, mmcblk0).
    Handle handle = table.Open("\\\\.\\G:");   // mmcblk0 has no node here
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(GetLastError(), ENOENT);
    handle = table.Open("\\\\.\\E:");
    ASSERT_NE(handle, nullptr) << SystemErrorText(GetLastError());
    uint8_t geometry[DISK_GEOMETRY_EX_SIZE] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(handle->Control(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned));
    EXPECT_EQ(Get64(geometry + 24), 2097152ull * 512) << "the size the card gave, not the node's";
    EXPECT_GT(sgCalls, 0);
    // The N-th physical drive is the N-th letter.
    handle = table.Open("\\\\.\\PhysicalDrive1");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->Path(), "\\\\.\\PhysicalDrive1");
    EXPECT_EQ(table.Open("\\\\.\\PhysicalDrive9"), nullptr);
    // Texts for the user name the reader's node.
    EXPECT_NE(table.AccessText('E').find(home.File("dev") + "/sdb"), std::string::npos);
    EXPECT_EQ(table.AccessText('Q'), "");
    // Unplugged since the last listing: the letter no longer opens the node that the
    // kernel may give to the next disk.
    sys.Remove("block/sdb");
    EXPECT_EQ(table.Open("\\\\.\\E:"), nullptr);
    EXPECT_EQ(GetLastError(), ENOENT);
}

TEST_F(ReaderTableTest, SdCardInAnMmcSlotServedByBlockIo)
{
    auto& table = VolumeTable::Instance();
    const std::string node = Image("dev/mmcblk0", 64 * 512);
    {
        std::vector<uint8_t> bytes(64 * 512);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i / 512 + 1);
        ASSERT_TRUE(test::WriteFile(node, bytes));
    }
    ASSERT_EQ(table.Letters().back(), 'G');
    Handle handle = table.Open("\\\\.\\G:");
    ASSERT_NE(handle, nullptr) << SystemErrorText(GetLastError());

    auto send = [&](std::vector<uint8_t> cdb, uint8_t direction, uint32_t length, std::vector<uint8_t>& b) {
        b.assign(72 + length, 0);
        Put16(&b[spt::Length], spt::HeaderSize);
        b[spt::CdbLength] = static_cast<uint8_t>(cdb.size());
        b[spt::SenseInfoLength] = 18;
        b[spt::DataIn] = direction;
        Put32(&b[spt::DataTransferLength], length);
        Put32(&b[spt::TimeOutValue], 10);
        Put32(&b[spt::DataBufferOffset], 68);
        Put32(&b[spt::SenseInfoOffset], 48);
        std::memcpy(&b[spt::Cdb], cdb.data(), cdb.size());
        uint32_t returned = 0;
        return handle->Control(IOCTL_SCSI_PASS_THROUGH, b.data(), static_cast<uint32_t>(b.size()), b.data(),
                               static_cast<uint32_t>(b.size()), &returned);
    };
    std::vector<uint8_t> b;
    ASSERT_TRUE(send({0x12, 0, 0, 0, 36, 0}, spt::DATA_IN, 36, b));
    EXPECT_EQ(b[68 + 1], 0x80) << "removable";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[68 + 8]), 8), "SD/MMC  ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&b[68 + 16]), 16), "SC32G           ");
    ASSERT_TRUE(send({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0, b));
    EXPECT_EQ(b[spt::ScsiStatus], 0);
    ASSERT_TRUE(send({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, spt::DATA_IN, 8, b));
    EXPECT_EQ(GetBE32(&b[68]), 63u);
    EXPECT_EQ(GetBE32(&b[72]), 512u);

    ASSERT_TRUE(send({0x28, 0, 0, 0, 0, 10, 0, 0, 3, 0}, spt::DATA_IN, 3 * 512, b));
    EXPECT_EQ(b[spt::ScsiStatus], 0);
    EXPECT_EQ(Get32(&b[spt::DataTransferLength]), 1536u);
    EXPECT_EQ(b[68], 11);
    EXPECT_EQ(b[68 + 1535], 13);

    std::vector<uint8_t> w;
    w.assign(72 + 512, 0);
    ASSERT_TRUE(send({0x2A, 0, 0, 0, 0, 63, 0, 0, 1, 0}, spt::DATA_OUT, 512, w));
    EXPECT_EQ(w[spt::ScsiStatus], 0);
    EXPECT_EQ(test::ReadFile(node)[63 * 512], 0) << "the last block was written";

    // Beyond the end: ILLEGAL REQUEST, LBA out of range, nothing moved.
    ASSERT_TRUE(send({0x28, 0, 0, 0, 0, 63, 0, 0, 2, 0}, spt::DATA_IN, 1024, b));
    EXPECT_EQ(b[spt::ScsiStatus], 2);
    EXPECT_EQ(b[48 + 2], 0x05);
    EXPECT_EQ(b[48 + 12], 0x21);
    EXPECT_EQ(Get32(&b[spt::DataTransferLength]), 0u);
    // A command the slot does not know, the vendor ones included: ILLEGAL REQUEST 20h.
    ASSERT_TRUE(send({0xD0, 0x19, 0, 0, 0, 0, 0, 0, 0xA0, 0xEC}, spt::DATA_IN, 512, b));
    EXPECT_EQ(b[48 + 2], 0x05);
    EXPECT_EQ(b[48 + 12], 0x20);

    uint8_t query[12] = {};
    uint8_t descriptor[512] = {};
    uint32_t returned = 0;
    ASSERT_TRUE(handle->Control(IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, descriptor, sizeof descriptor,
                                &returned));
    EXPECT_EQ(descriptor[10], 1);
    EXPECT_EQ(Get32(descriptor + 28), BusTypeUnknown);
    // The slot cannot push the card out: its eject writes everything out and succeeds.
    EXPECT_TRUE(handle->Control(IOCTL_STORAGE_EJECT_MEDIA, nullptr, 0, nullptr, 0, &returned));

    // The card taken out of the slot: the kernel removes the disk; requests fail.
    sys.Remove(std::string(kSdCard));
    EXPECT_FALSE(send({0, 0, 0, 0, 0, 0}, spt::DATA_UNSPECIFIED, 0, b));
    EXPECT_EQ(GetLastError(), ENODEV);
}

TEST_F(ReaderTableTest, FreeSpaceAndBusyTextOfAMountedCard)
{
    auto& table = VolumeTable::Instance();
    table.Letters();
    FreeSpaceInfo info;
    SetLastError(0);
    EXPECT_FALSE(table.FreeSpace('G', info)) << "not mounted";
    EXPECT_EQ(GetLastError(), ENOTSUP);
    // sdb (E) mounted at a real folder, so statvfs has something to measure.
    const std::string mountPoint = home.File("media/EOS DIGITAL");
    fs::create_directories(mountPoint);
    std::string escaped = mountPoint;
    escaped.replace(escaped.find(' '), 1, "\\040");
    WriteMountInfo("27 1 8:1 / / rw - ext4 /dev/sda1 rw\n40 27 8:17 / " + escaped +
                   " rw,nosuid shared:1 - vfat /dev/sdb1 rw\n");
    ASSERT_TRUE(table.FreeSpace('E', info)) << SystemErrorText(GetLastError());
    EXPECT_EQ(info.bytesPerSector, 512u);
    EXPECT_GT(info.totalBytes, 0u);
    EXPECT_GE(info.totalBytes, info.totalFreeBytes);
    EXPECT_GE(info.totalFreeBytes, info.freeBytesAvailable);
    EXPECT_EQ(uint64_t(info.totalClusters) * info.sectorsPerCluster * 512, info.totalBytes);
    const std::string busy = table.BusyText('E');
    EXPECT_NE(busy.find("mounted at " + mountPoint), std::string::npos) << busy;
    EXPECT_NE(table.BusyText('D').find("in use by another program"), std::string::npos);
    EXPECT_EQ(table.BusyText('Q'), "");
    EXPECT_EQ(table.FileSystemName('D'), "") << "no node, no file system";
}

TEST(DiskMonitor, OnlyDiskArrivalsRemovalsAndMediaChangesAreNotices)
{
    using Change = DiskMonitor::Change;
    Change change = Change::Removed;
    EXPECT_TRUE(DiskMonitor::Classify("add", "disk", "sdb", nullptr, change));
    EXPECT_EQ(change, Change::Added);
    EXPECT_TRUE(DiskMonitor::Classify("remove", "disk", "mmcblk0", nullptr, change));
    EXPECT_EQ(change, Change::Removed);
    EXPECT_TRUE(DiskMonitor::Classify("change", "disk", "sdc", "1", change));
    EXPECT_EQ(change, Change::MediaChanged);
    // A change that is not a medium change (a new partition table, a resize), a partition,
    // a disk that is no reader, an event without an action: no notice.
    EXPECT_FALSE(DiskMonitor::Classify("change", "disk", "sdc", nullptr, change));
    EXPECT_FALSE(DiskMonitor::Classify("change", "disk", "sdc", "0", change));
    EXPECT_FALSE(DiskMonitor::Classify("add", "partition", "sdb1", nullptr, change));
    EXPECT_FALSE(DiskMonitor::Classify("add", "disk", "loop3", nullptr, change));
    EXPECT_FALSE(DiskMonitor::Classify("add", "disk", "dm-0", nullptr, change));
    EXPECT_FALSE(DiskMonitor::Classify(nullptr, "disk", "sdb", nullptr, change));
    EXPECT_FALSE(DiskMonitor::Classify("bind", "disk", "sdb", nullptr, change));
}

TEST(DiskMonitor, StartsOnlyWhereUdevSendsNotices)
{
    int calls = 0;
    DiskMonitor monitor([&](const DiskMonitor::Event&) { ++calls; });
    std::string error;
    const bool udevRuns = ::access("/run/udev/control", F_OK) == 0;
    EXPECT_EQ(monitor.Start(&error), udevRuns) << error;
    EXPECT_EQ(monitor.Running(), udevRuns);
    if (!udevRuns) {
        // The caller learns why, and polls instead.
        EXPECT_NE(error.find("udev service is not running"), std::string::npos) << error;
    }
    monitor.Stop();
    EXPECT_FALSE(monitor.Running());
    monitor.Stop();   // twice is harmless
    EXPECT_EQ(calls, 0);
}

}  // namespace
