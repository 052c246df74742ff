#pragma once
// The software update check: the update index on the maker's FTP server lists the
// builds; the newest one's build information names its installer, which is downloaded
// (and unscrambled when the server stores it scrambled) and handed to the desktop's
// program for Debian packages.
//
// The server is the settings' "Update Server" (host[:port]). The account is fixed.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "services/cupdaternode.h"

// The build number of a version text: the fourth of its numbers separated by "," or "."
// (each read by atoi rules, a missing one 0), so "3.0.0.17" gives 17.
int32_t BuildNumberOfVersion(const std::string& version);
// The build number of this program: BuildNumberOfVersion of the version set in CMake.
int32_t InstalledBuildNumber();

class CPX3Update {
public:
    static constexpr const char* IndexPath = "/PX3Win/Update/PX3update_index.xml";
    static constexpr const char* User = "pixsalvo";
    static constexpr const char* Password = "tqbnwfzh";
    // The name the unscrambled installer is written under, beside the download.
    static constexpr const char* SetupName = "Setup.deb";

    // Hands a file to the desktop's program for it; true when that program started.
    using Opener = std::function<bool(const std::string& path)>;

    explicit CPX3Update(Opener opener = {});
    ~CPX3Update();
    CPX3Update(const CPX3Update&) = delete;
    CPX3Update& operator=(const CPX3Update&) = delete;

    void SetOpener(Opener opener) { m_opener = std::move(opener); }

    // Reads the index and the newest build's information. True when both were read and
    // the newest build was found in both; false with GetError otherwise (a server
    // problem, or a build information file without that build).
    bool Check();
    // Downloads the newest build's installer into the temporary folder, unscrambles it
    // into "Setup.deb" when the build information's scheme is "2", checks it against the
    // build's "sha256" when the build has one, and opens it. True when the installer was
    // started. JobStarted and JobFinished go round it. Nothing is started after an
    // incomplete download, a checksum that does not match, or a cancel.
    bool Download();

    const std::string& GetError() const { return m_strError; }
    int32_t GetHighestBuild() const { return m_nHighestBuild; }
    const std::string& GetBuildInfoPath() const { return m_strBuildInfoPath; }
    const std::string& GetInstallerPath() const { return m_strInstallerPath; }
    const std::string& GetScheme() const { return m_strScheme; }
    // The file that Download handed to the opener last (empty before).
    const std::string& GetStartedPath() const { return m_strStartedPath; }
    CUpdaterNode* GetIndex() const { return m_pIndex.get(); }
    CUpdaterNode* GetBuildInfo() const { return m_pBuildInfo.get(); }

    // What the new build brings, from the build information: "Version: <v>\r\n" for its
    // first "BUILD", then "== New Features: \r\n" and "-- <feature>\r\n" for every
    // "FEATURE" in document order.
    std::string UpdateInformation() const;
    // The text of the index's first "LICENSE" with every line feed made CR LF; empty
    // when there is none.
    std::string LicenseText() const;

private:
    void Reset();
    // The settings' server, or the maker's when there are no settings.
    static std::string Server();

    Opener m_opener;
    std::unique_ptr<CUpdaterNode> m_pIndex;
    std::unique_ptr<CUpdaterNode> m_pBuildInfo;
    int32_t m_nHighestBuild = 0;
    std::string m_strBuildInfoPath;
    std::string m_strInstallerPath;
    std::string m_strScheme;
    std::string m_strSha256;
    std::string m_strStartedPath;
    std::string m_strError;
};
