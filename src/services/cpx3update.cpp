#include "services/cpx3update.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include "app/csettings.h"
#include "app/ctransferstatus.h"
#include "jobs/cmsg.h"
#include "platform/messagepump.h"
#include "services/cdecrypt.h"

#ifndef PX3_VERSION
#error "PX3_VERSION (the program's version, set in CMake) is needed for the installed build number"
#endif

namespace {

// The first "BUILD" with this build number: the node itself, then its subtree in
// document order.
CUpdaterNode* FindBuild(CUpdaterNode* root, int32_t number)
{
    CUpdaterNode* found = nullptr;
    root->ForEachNode(
        [&found, number](CObjNode* node, void*) {
            auto* build = dynamic_cast<CUpdaterNode*>(node);
            if (!found && build && build->GetTag() == "BUILD" && build->GetBuildNumber() == number)
                found = build;
        },
        nullptr);
    return found;
}

// The name after the last separator of a server path.
std::string FileNameOf(const std::string& path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Sha256Matches(const std::string& path, const std::string& expected)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return false;
    return hash.result().toHex() == QByteArray::fromStdString(expected).trimmed().toLower();
}

// A signature is 64 bytes; a signature file far larger is no signature and is not read.
constexpr size_t kMaxSignatureFile = 4096;

// The temporary folder, ending in a separator.
std::string DownloadFolder()
{
    std::string folder = QDir::tempPath().toStdString();
    if (folder.empty() || (folder.back() != '/' && folder.back() != '\\'))
        folder += '/';
    return folder;
}

// Sets the update's cancel flag while a Cancel message (Value1 1) of the bus is heard.
class CCancelListener : public CListener {
public:
    explicit CCancelListener(CPX3Update& update) : m_update(update) { Bus().AddListener("CPX3Update", this); }
    ~CCancelListener() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Code == MsgCode::Cancel && msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1)
            m_update.Cancel();
    }

private:
    CPX3Update& m_update;
};

}  // namespace

void CDownloadProgress::Report(int64_t done, int64_t total)
{
    if (!m_bShown) {
        m_bShown = true;
        m_nTotal = total;
        m_nUnit = total > INT32_MAX ? total / INT32_MAX + 1 : 1;
        {
            CMsgProgress range(0, JobScope::Update, ProgressStep::Range, CVariant(int32_t(std::max<int64_t>(total, 0) / m_nUnit)));
        }
        CMsgProgress show(1, JobScope::Update, ProgressStep::Show);
        return;
    }
    CMsgProgress position(m_nTotal > 0 ? int32_t(done / m_nUnit) : 0, JobScope::Update, std::string());
}

void CDownloadProgress::Finish()
{
    if (!m_bShown || m_bFinished)
        return;
    m_bFinished = true;
    CMsgProgress finished(0, JobScope::Update, ProgressStep::Finished);
}

int32_t BuildNumberOfVersion(const std::string& version)
{
    std::string numbers[4];
    size_t field = 0;
    for (char c : version) {
        if (c == ',' || c == '.') {
            if (++field == 4)
                break;
        } else {
            numbers[field] += c;
        }
    }
    return DecimalTextToInt(numbers[3]);
}

int32_t InstalledBuildNumber() { return BuildNumberOfVersion(PX3_VERSION); }

CPX3Update::CPX3Update(Opener opener, const CSignatureCheck::PublicKey& releaseKey)
    : m_opener(std::move(opener)), m_releaseKey(releaseKey)
{
}

CPX3Update::~CPX3Update() = default;

std::string CPX3Update::ConfiguredServer()
{
    return TheSettings() ? TheSettings()->GetUpdateServer() : std::string(MakerAddress::UpdateServer);
}

void CPX3Update::Reset()
{
    m_pIndex.reset();
    m_pBuildInfo.reset();
    m_nHighestBuild = 0;
    m_strBuildInfoPath.clear();
    m_strInstallerPath.clear();
    m_strScheme.clear();
    m_strSha256.clear();
    m_strDownloadPath.clear();
    m_strError.clear();
}

bool CPX3Update::Check() { return Check(ConfiguredServer()); }

bool CPX3Update::Check(const std::string& server)
{
    Reset();
    m_strServer = server;
    CUpdaterNode indexLoader("Loader", 0);
    m_pIndex.reset(indexLoader.LoadFromFtp(server, IndexPath, User, Password, m_limits.files, &m_bCancel));
    if (!m_pIndex) {
        m_strError = indexLoader.GetError().empty() ? std::string("The update index is empty: ") + IndexPath
                                                    : indexLoader.GetError();
        return false;
    }
    m_pIndex->ForEachNode(
        [this](CObjNode* node, void*) {
            auto* build = dynamic_cast<CUpdaterNode*>(node);
            if (build && build->GetTag() == "BUILD")
                m_nHighestBuild = std::max(m_nHighestBuild, build->GetBuildNumber());
        },
        nullptr);
    // Build numbers start at 1: an index whose builds all read as 0 (or none) is damaged,
    // and must not pass for "nothing newer".
    CUpdaterNode* newest = m_nHighestBuild > 0 ? FindBuild(m_pIndex.get(), m_nHighestBuild) : nullptr;
    if (!newest) {
        m_strError = std::string("The update index lists no build: ") + IndexPath;
        return false;
    }
    m_strBuildInfoPath = newest->GetLocation();

    CUpdaterNode infoLoader("Loader", 0);
    m_pBuildInfo.reset(infoLoader.LoadFromFtp(server, m_strBuildInfoPath, User, Password, m_limits.files, &m_bCancel));
    if (!m_pBuildInfo) {
        m_strError = infoLoader.GetError().empty() ? "The build information is empty: " + m_strBuildInfoPath
                                                   : infoLoader.GetError();
        return false;
    }
    CUpdaterNode* build = FindBuild(m_pBuildInfo.get(), m_nHighestBuild);
    if (!build) {
        m_strError = "The build information does not describe build " + std::to_string(m_nHighestBuild);
        return false;
    }
    m_strInstallerPath = build->GetLocation();
    m_strSha256 = build->GetSha256();
    m_strScheme = m_pBuildInfo->GetScheme();
    return true;
}

bool CPX3Update::FetchSignature(CFtpFile& ftp, std::string& signature)
{
    const std::string path = m_strInstallerPath + SignatureSuffix;
    if (!ftp.OpenRemote(path)) {
        if (ftp.GetError().find("Unable to find remote Ftp file") != std::string::npos)
            m_strError = "The installer has no signature on the server (" + path + "): it is not started";
        else
            m_strError = ftp.GetError();
        return false;
    }
    char block[1024];
    for (;;) {
        uint32_t got = 0;
        if (!ftp.Read(block, sizeof block, got)) {
            m_strError = ftp.GetError();
            return false;
        }
        if (got == 0)
            return true;
        if (signature.size() + got > kMaxSignatureFile) {
            m_strError = "The installer's signature file is no signature (over " + std::to_string(kMaxSignatureFile) +
                         " bytes): " + path;
            return false;
        }
        signature.append(block, got);
    }
}

bool CPX3Update::Fetch(const Progress& progress)
{
    m_strDownloadPath.clear();
    m_strError.clear();
    if (m_strInstallerPath.empty()) {
        m_strError = "No update was found to download";
        return false;
    }
    CFtpFile ftp;
    ftp.SetLimits(m_limits.files);
    ftp.SetCancelFlag(&m_bCancel);
    if (!ftp.Connect(m_strServer, User, Password)) {
        m_strError = ftp.GetError();
        return false;
    }
    std::string signature;
    if (!FetchSignature(ftp, signature))
        return false;

    const std::string local = DownloadFolder() + FileNameOf(m_strInstallerPath);
    FtpLimits installerLimits = m_limits.files;
    installerLimits.totalMs = m_limits.installerTotalMs;
    ftp.SetLimits(installerLimits);
    if (!ftp.OpenRemote(m_strInstallerPath)) {
        m_strError = ftp.GetError();
        return false;
    }
    const int64_t size = ftp.GetRemoteSize();
    if (!ftp.DownloadTo(local, progress)) {
        m_strError = ftp.GetError();
        return false;
    }
    // The length proves nothing when the server kept the size to itself and closed the
    // data early: only the signature tells a whole installer from a cut or changed one.
    CSignatureCheck check(m_releaseKey);
    if (!check.VerifyFile(local, signature)) {
        std::error_code ignored;
        const auto received = std::filesystem::file_size(local, ignored);
        m_strError = check.GetError() + " (" + local + ", " + std::to_string(received) + " bytes received" +
                     (size < 0 ? ", the server did not tell its size" : "") + "); it was deleted and not started";
        ::unlink(local.c_str());
        return false;
    }
    m_strDownloadPath = local;
    return true;
}

bool CPX3Update::Install()
{
    m_strStartedPath.clear();
    if (m_strDownloadPath.empty()) {
        m_strError = "No verified installer was downloaded";
        return false;
    }
    m_strError.clear();
    std::string target = m_strDownloadPath;
    if (m_strScheme == "2") {
        target = DownloadFolder() + SetupName;
        ::unlink(target.c_str());
        CDecrypt decrypt(m_strDownloadPath, target);
        bool copied = false;
        try {
            copied = decrypt.Run();
        } catch (const CTransferException& e) {
            m_strError = e.GetText();
            return false;
        }
        if (!copied) {
            m_strError = decrypt.GetError();
            return false;
        }
    }
    // A build that names its installer's checksum gets exactly that installer started.
    if (!m_strSha256.empty() && !Sha256Matches(target, m_strSha256)) {
        m_strError = "The downloaded installer does not match its SHA-256 checksum: " + target;
        ::unlink(target.c_str());
        return false;
    }
    if (!m_opener || !m_opener(target)) {
        m_strError = "Unable to start the installer: " + target;
        return false;
    }
    m_strStartedPath = target;
    return true;
}

bool CPX3Update::Download()
{
    CMsgRun run;
    m_strStartedPath.clear();
    ClearCancel();
    CCancelListener cancel(*this);
    if (!m_pIndex && !Check())
        return false;
    CDownloadProgress shown;
    const bool fetched = Fetch([&shown](int64_t done, int64_t total) {
        shown.Report(done, total);
        // The window runs between two blocks, so that a Cancel is heard.
        px::PumpMessages();
    });
    shown.Finish();
    return fetched && Install();
}

std::string CPX3Update::UpdateInformation() const
{
    std::string text;
    if (!m_pBuildInfo)
        return text;
    if (auto* build = dynamic_cast<CUpdaterNode*>(m_pBuildInfo->FindByTag("BUILD")))
        text += "Version: " + build->GetVersion() + "\r\n";
    text += "== New Features: \r\n";
    m_pBuildInfo->ForEachNode(
        [&text](CObjNode* node, void*) {
            if (node->GetTag() == "FEATURE")
                text += "-- " + node->GetText() + "\r\n";
        },
        nullptr);
    return text;
}

std::string CPX3Update::LicenseText() const
{
    std::string text;
    CObjNode* license = m_pIndex ? m_pIndex->FindByTag("LICENSE") : nullptr;
    if (!license)
        return text;
    for (char c : license->GetRawText()) {
        if (c == '\n')
            text += '\r';
        text += c;
    }
    return text;
}
