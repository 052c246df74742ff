#pragma once
// The directory entries of a card, gathered from the blocks a scan reads anyway: every
// block is offered once, in any order (in card order it is fastest and finds entries that
// straddle two blocks), and the ones that are FAT or exFAT directory blocks by their
// structure give their files and folders, whether the folder is still reachable from the
// root, deleted, or left behind in the data area by a quick format. Recovery uses them to
// give found files their camera names.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cardfs/cardgeometry.h"

namespace px {

// One file or folder named by a directory entry.
struct DirEntry {
    static constexpr uint32_t kUnknownFolder = 0xFFFFFFFF;

    std::string Name;           // the long name (UTF-8) when there is one, else the 8.3 name
                                // ("IMG_0001.JPG"); a deleted 8.3 name has lost its first
                                // character, which is '_' unless its long name told it
    uint32_t FirstCluster = 0;  // 0 for an empty file
    uint64_t Size = 0;          // bytes; FAT folders have none
    // Seconds since 1970-01-01. FAT keeps local time: it is read as if it were UTC. exFAT
    // times with their UTC offset are real UTC. 0 when the entry has no time.
    int64_t Modified = 0;
    int64_t Created = 0;
    bool Deleted = false;
    bool Directory = false;
    bool ExFat = false;
    bool Contiguous = false;    // exFAT "no FAT chain": the clusters follow one another
    uint64_t EntryOffset = 0;   // card byte offset of the entry (FAT: the 8.3 entry after
                                // the long name; exFAT: the file entry that opens the set)
    // First cluster of the folder that holds the entry, 0 for the root folder, or
    // kUnknownFolder.
    uint32_t FolderCluster = kUnknownFolder;
};

class DirCollector {
public:
    // More entries are not kept (each takes 32 bytes and its name): far more than any
    // card holds, but a bound for a card full of leftovers.
    static constexpr size_t kMaxEntries = size_t(1) << 21;

    // volumes: the card's volumes when known (ReadCardGeometry). They let the collector
    // know the root folder's blocks, refuse high cluster words on FAT12/16, place entries
    // that lie in a folder's later clusters and follow folders' FAT chains; without them
    // entries and most folders are still found.
    explicit DirCollector(std::vector<CardGeometry> volumes = {});

    // Looks at one card block (its byte offset and bytes; any size that is a multiple of
    // 32, judged in pieces of 512 bytes) and keeps the entries it holds when it is a FAT
    // or exFAT directory block. A block seen before adds nothing.
    void Feed(uint64_t offset, const uint8_t* block, size_t n);

    size_t Count() const { return m_records.size(); }
    // The entries in the order of their place on the card.
    DirEntry At(size_t index) const;
    std::vector<DirEntry> Entries() const;
    // The entries whose first cluster is c: several when a deleted file's clusters were
    // given to a newer one.
    std::vector<DirEntry> WithCluster(uint32_t cluster) const;
    // The folder path of the entry's folder, "DCIM/100CANON" ("" for the root). When a
    // folder of the chain is not known (its own entry was wiped) the known end of the path
    // is given and *complete is set false.
    std::string FolderPath(const DirEntry& entry, bool* complete = nullptr) const;

    // Follows the FAT chains of the folders found that are still in use (and of the root),
    // so that the entries in a folder's later clusters, which have no "." entry to tell
    // their folder, get it. Needs the volumes; call it after the scan.
    void FollowFolderChains(const CardReadFn& read);

    // Entries that were not kept past kMaxEntries.
    size_t Dropped() const { return m_dropped; }
    // The bytes the collector holds.
    size_t MemoryBytes() const;

private:
    // An entry as it is kept: 32 bytes, and its name with a closing NUL in a shared pool.
    // Offsets and sizes have 44 bits (16 TiB).
    struct Record {
        uint32_t OffsetLow;
        uint32_t SizeLow;
        uint32_t FirstCluster;
        uint32_t Folder;     // see kFolderIsHome
        uint32_t Modified;   // seconds since kTimeBase, 0 for none
        uint32_t Created;
        uint32_t NameOffset;
        uint32_t High;       // bits 0-11: offset >> 32; 12-23: size >> 32; 24-31: flags

        uint64_t Offset() const { return uint64_t(High & 0xFFF) << 32 | OffsetLow; }
        uint64_t Size() const { return uint64_t((High >> 12) & 0xFFF) << 32 | SizeLow; }
        uint8_t Flags() const { return uint8_t(High >> 24); }
    };
    static constexpr uint64_t kMaxOffset = (uint64_t(1) << 44) - 1;
    static constexpr uint8_t kDeleted = 1, kDirectory = 2, kExFat = 4, kContiguous = 8,
                             // Folder holds the cluster the entry lies in, not yet the
                             // folder's first cluster (exFAT, which has no "." entry)
                             kFolderIsHome = 16;

    struct Found;

    void FeedPiece(uint64_t offset, const uint8_t* p, size_t n);
    bool ParseFat(uint64_t offset, const uint8_t* p, size_t n, std::vector<Found>& found);
    void ParseExFat(uint64_t offset, const uint8_t* p, size_t n, std::vector<Found>& found);
    bool TakeExFatSet(uint64_t offset, const uint8_t* set, size_t entries, std::vector<Found>& found);
    void Keep(const Found& f);
    const CardGeometry* VolumeAt(uint64_t offset) const;
    bool InRoot(uint64_t offset) const;
    uint32_t FolderOf(const Record& r) const;
    DirEntry Make(const Record& r) const;
    const std::vector<uint32_t>& ByCluster() const;
    std::string NameOf(const Record& r) const { return std::string(m_names.data() + r.NameOffset); }
    std::pair<std::vector<uint32_t>::const_iterator, std::vector<uint32_t>::const_iterator> ClusterRange(uint32_t c) const;

    std::vector<CardGeometry> m_volumes;
    std::vector<Record> m_records;   // sorted by entry offset
    std::vector<char> m_names;   // names, each closed by a NUL
    size_t m_dropped = 0;
    // A FAT folder's first cluster -> its parent's (from its ".." entry).
    std::map<uint32_t, uint32_t> m_parents;
    // A folder's later cluster -> the folder's first cluster (0: the root), from the FAT.
    std::map<uint32_t, uint32_t> m_chainFolder;

    // What a block leaves to the next one when the next one follows it on the card.
    uint64_t m_next = UINT64_MAX;
    bool m_fatOpen = false;                            // a FAT directory block without end mark
    uint32_t m_fatFolder = DirEntry::kUnknownFolder;   // and its folder
    std::vector<uint8_t> m_lfnSlots;                   // long name entries not yet closed
    std::vector<uint8_t> m_exfatSet;                   // an exFAT entry set not yet complete
    uint64_t m_exfatSetOffset = 0;
    bool m_exfatRoot = false;

    mutable std::vector<uint32_t> m_byCluster;   // records by first cluster
    mutable bool m_byClusterStale = true;
};

}  // namespace px
