#pragma once
// The card document's found list (CFoundList) over the list of found files with their
// thumbnails, and the save operations that work on it.
#include <string>

#include "device/cfoundlist.h"
#include "recovery/cthumblist.h"

class CFoundFiles : public CFoundList {
public:
    explicit CFoundFiles(const CThumbParams& params = CThumbParams::FoundList()) : m_thumbs(params) {}
    ~CFoundFiles() override = default;

    size_t GetCount() const override { return m_thumbs.GetCount(); }
    void AddFile(const std::string& path) override { m_thumbs.AddFile(path); }
    size_t CountKept() const override { return m_thumbs.CountKept(); }
    uint64_t KeptSize() const override { return m_thumbs.KeptSize(); }
    void Clear() override { m_thumbs.RemoveAll(); }
    // CPX3SaveImages over the list.
    void Describe(const std::string& path, const std::string& cameraName, int64_t shotTime) override
    {
        m_thumbs.Describe(path, cameraName, shotTime);
    }
    bool SaveKept(const std::string& prefix, std::string& error, bool cameraNames = false) override;
    // CCleanImages over the list.
    bool CleanAll(std::string& error) override;
    // A CMoveTransfer of source into target; a CTransferException that stops it becomes
    // false with its text ("Too mach errors", "Aborted by user", ...).
    bool MoveFolder(const std::string& source, const std::string& target, std::string& error) override;
    // A CTransfer of source into target, the same way.
    bool CopyFolder(const std::string& source, const std::string& target, std::string& error) override;

    CThumbList& Thumbs() { return m_thumbs; }
    const CThumbList& Thumbs() const { return m_thumbs; }

private:
    CThumbList m_thumbs;
};
