#pragma once
// One element of the update index or of a build information file, read from the update
// server. The index and the build files are texts of the object tree's tag form; their
// elements are "BUILD" (one build), "FEATURE" (one line of what a build brings) and
// "LICENSE" (the licence text), with the attributes below.
#include <atomic>
#include <cstdint>
#include <string>

#include "app/cfilepath.h"
#include "app/cobjnode.h"
#include "services/cftpfile.h"

class CUpdaterNode : public CMFCObjNode {
public:
    CUpdaterNode() = default;
    CUpdaterNode(std::string name, int32_t type) : CMFCObjNode(std::move(name), type) {}

    CObj* CreateNew() const override { return new CUpdaterNode(); }
    // The object tree's attributes first; then "location" (a path on the update server),
    // "scheme" ("2": the installer is stored scrambled), "version" (the text shown),
    // "buildnumber" (atoi rules: "12a" is 12) and "sha256" (the installer's checksum in
    // hexadecimal, checked before the installer is started).
    bool SetAttribute(const std::string& key, const std::string& value) override;
    CObjNode* CreateNode() const override { return new CUpdaterNode(); }
    // An update file is only read: nothing is written, the result is false.
    bool SaveToFile(const std::string& path) override;
    // The update check walks the index by tag, in document order, and never by nesting:
    // a stray closing tag (one that closes no open element) is passed over, so a damaged
    // index still shows every build after it.
    bool ReadsPastStrayClosingTags() const override { return true; }

    // Connects to host with the account, reads the file at path whole (within limits; a
    // set cancel flag ends the wait) and parses it into this node (the loading node).
    // Returns its first element, detached and owned by the caller; the file's other
    // top-level elements are deleted. nullptr for an empty file, a read failure (a file
    // that came shorter than its size among them), or a text without elements; every
    // failure but the empty file leaves its reason in GetError(). Touches neither the bus
    // nor the window.
    CUpdaterNode* LoadFromFtp(const std::string& host, const std::string& path, const std::string& user,
                              const std::string& password, const FtpLimits& limits = {},
                              const std::atomic<bool>* cancel = nullptr);

    const std::string& GetLocation() const { return m_location.GetText(); }
    const std::string& GetScheme() const { return m_strScheme; }
    const std::string& GetVersion() const { return m_strVersion; }
    int32_t GetBuildNumber() const { return m_nBuildNumber; }
    const std::string& GetSha256() const { return m_strSha256; }

    // Files larger than this are no update files: their reading is refused rather than
    // given the memory a wrong size would ask for.
    static constexpr int64_t MaxFileSize = 16 * 1024 * 1024;

private:
    CFtpPath m_location;
    std::string m_strScheme;
    std::string m_strVersion;
    int32_t m_nBuildNumber = 0;
    std::string m_strSha256;
};
