#pragma once
// Real card readers on Linux as device handles. A reader's whole disk is opened once per
// handle; the pass-through request of the card device reaches it as follows:
//   SCSI disks (/dev/sdX, USB readers)  SG_IO on the disk node; the vendor commands D0/D1
//                                       on its generic node /dev/sgN
//   SD cards in an mmc host (mmcblkN)   plain block I/O (pread/pwrite, BLKGETSIZE64) with
//                                       READ(10), WRITE(10), READ CAPACITY(10), INQUIRY and
//                                       TEST UNIT READY answered as a USB reader would
// Lock is an exclusive open of the whole disk plus flock (EBUSY while a file system of the
// card is mounted), eject is PREVENT ALLOW MEDIUM REMOVAL (allow) and START STOP UNIT
// with LoEj.
#include <string>

#include "platform/devicehandle.h"
#include "platform/sgio.h"
#include "platform/sysfsdisks.h"

namespace px {

// Opens a reader disk that ScanReaderDisks (or ReadSysfsDisk) described, for reading and
// writing: a write-protected card opens read-only and answers writes with DATA PROTECT;
// an empty slot opens all the same and answers NOT READY. handlePath is the name the
// handle reports ("\\.\F:"). The ioctl is the system's unless one is given. Null with the
// last error set: EACCES when the user may not open the node (see AccessDeniedText),
// ENOENT/ENXIO/ENODEV when the reader is gone.
Handle OpenLinuxDisk(const std::string& handlePath, const SysfsDisk& disk, const SysfsSource& source,
                     SgIoctl ioctl = {});

// Opens the whole disk of a node path: a partition node ("/dev/sdb1") is resolved to its
// disk ("/dev/sdb") first, so a request never reaches a partition. Only card readers
// can be opened this way. Null with the last error set (ENODEV when the path is not a
// card reader's disk that sysfs knows).
Handle OpenLinuxDiskPath(const std::string& path, const SysfsSource& source, SgIoctl ioctl = {});

}  // namespace px
