#pragma once
// The software update check: the update index on the maker's FTP server lists the
// builds; the newest one's build information names its installer, which is downloaded
// with its release signature (the installer's path + ".sig", see csignaturecheck.h),
// verified, unscrambled when the server stores it scrambled, and handed to the desktop's
// program for Debian packages.
//
// The server is the settings' "Update Server" (host[:port]). The account is fixed.
//
// Threads: Check and Fetch touch neither the message bus nor the window, so a window
// runs them on a worker thread and stays responsive; Cancel may be called from any
// thread and ends their waits within a tenth of a second. Install and Download belong to
// the thread of the bus (the window's).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "services/cftpfile.h"
#include "services/csignaturecheck.h"
#include "services/cupdaternode.h"

// The build number of a version text: the fourth of its numbers separated by "," or "."
// (each read by atoi rules, a missing one 0), so "3.0.0.17" gives 17.
int32_t BuildNumberOfVersion(const std::string& version);
// The build number of this program: BuildNumberOfVersion of the version set in CMake.
int32_t InstalledBuildNumber();

// The limits of the update's FTP requests.
struct UpdateLimits {
    FtpLimits files;   // the index, the build information, the signature
    // The installer's whole download: generous, since an installer may be large and a
    // line slow, but never endless (the low-speed limit of files applies as well).
    long installerTotalMs = 30L * 60 * 1000;
};

// The progress of a download on the bus (scope Update), sent from the bus's thread: the
// first report sends Range (0 .. the size, 0 .. 0 when the size is unknown) and Show,
// every report a Position, Finish (or the destructor) Finished.
class CDownloadProgress {
public:
    CDownloadProgress() = default;
    ~CDownloadProgress() { Finish(); }
    CDownloadProgress(const CDownloadProgress&) = delete;
    CDownloadProgress& operator=(const CDownloadProgress&) = delete;

    void Report(int64_t done, int64_t total);
    void Finish();

private:
    bool m_bShown = false;
    bool m_bFinished = false;
    int64_t m_nTotal = -1;
    int64_t m_nUnit = 1;   // the progress bar counts in int: larger files in larger units
};

class CPX3Update {
public:
    static constexpr const char* IndexPath = "/PX3Win/Update/PX3update_index.xml";
    static constexpr const char* User = "pixsalvo";
    static constexpr const char* Password = "tqbnwfzh";
    // The name the unscrambled installer is written under, beside the download.
    static constexpr const char* SetupName = "Setup.deb";
    // The release signature lies next to the installer under the installer's name + this.
    static constexpr const char* SignatureSuffix = ".sig";

    // Hands a file to the desktop's program for it; true when that program started.
    using Opener = std::function<bool(const std::string& path)>;
    using Progress = CFtpFile::Progress;

    // releaseKey: the public key the installer's signature must verify under (this
    // program's release key; a test passes the public half of a key pair of its own).
    explicit CPX3Update(Opener opener = {}, const CSignatureCheck::PublicKey& releaseKey = CSignatureCheck::ReleaseKey);
    ~CPX3Update();
    CPX3Update(const CPX3Update&) = delete;
    CPX3Update& operator=(const CPX3Update&) = delete;

    void SetOpener(Opener opener) { m_opener = std::move(opener); }
    void SetLimits(const UpdateLimits& limits) { m_limits = limits; }
    const UpdateLimits& Limits() const { return m_limits; }

    // Ends the running Check or Fetch ("Ftp Error: Aborted by user") and refuses the
    // next until ClearCancel. Any thread.
    void Cancel() { m_bCancel = true; }
    void ClearCancel() { m_bCancel = false; }
    bool IsCancelled() const { return m_bCancel; }

    // The settings' server, or the maker's when there are no settings. The bus's thread.
    static std::string ConfiguredServer();

    // Check(ConfiguredServer()).
    bool Check();
    // Reads the index and the newest build's information from server. True when both
    // were read and the newest build (a build number above 0) was found in both; false
    // with GetError otherwise: the server cannot be reached or does not answer in time,
    // a file is missing, cut short or damaged, or the check was cancelled.
    bool Check(const std::string& server);
    // After a successful Check: downloads the installer's signature, then the installer
    // into the temporary folder (progress after each block), and keeps the installer only
    // when it has the size the server told and its signature verifies under the release
    // key. False with GetError, and no file left, when the signature is missing or does
    // not match, the download is incomplete, a limit ended it, or it was cancelled.
    bool Fetch(const Progress& progress = {});
    // After a successful Fetch: unscrambles the download into "Setup.deb" when the build
    // information's scheme is "2", checks it against the build's "sha256" when it has
    // one, and hands it to the opener. True when the installer was started. A cancel
    // message on the bus ends the unscrambling.
    bool Install();
    // The whole update on the bus's thread: Check when there was none, Fetch (its
    // progress on the bus, the window running between blocks, a Cancel message heard),
    // Install. JobStarted and JobFinished go round it. Nothing is started after a missing
    // or wrong signature, an incomplete download, a checksum that does not match, or a
    // cancel.
    bool Download();

    const std::string& GetError() const { return m_strError; }
    int32_t GetHighestBuild() const { return m_nHighestBuild; }
    const std::string& GetBuildInfoPath() const { return m_strBuildInfoPath; }
    const std::string& GetInstallerPath() const { return m_strInstallerPath; }
    const std::string& GetScheme() const { return m_strScheme; }
    // The verified download of the last Fetch (empty before, and after a failed one).
    const std::string& GetDownloadPath() const { return m_strDownloadPath; }
    // The file that Install handed to the opener last (empty before).
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
    // The signature file of the installer, read whole into signature. False with the
    // error (the file is missing, too large, or the server failed).
    bool FetchSignature(CFtpFile& ftp, std::string& signature);

    Opener m_opener;
    CSignatureCheck::PublicKey m_releaseKey;
    UpdateLimits m_limits;
    std::atomic<bool> m_bCancel{false};
    std::string m_strServer;
    std::unique_ptr<CUpdaterNode> m_pIndex;
    std::unique_ptr<CUpdaterNode> m_pBuildInfo;
    int32_t m_nHighestBuild = 0;
    std::string m_strBuildInfoPath;
    std::string m_strInstallerPath;
    std::string m_strScheme;
    std::string m_strSha256;
    std::string m_strDownloadPath;
    std::string m_strStartedPath;
    std::string m_strError;
};
