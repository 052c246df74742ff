#include "services/cpx3update.h"

#include <unistd.h>

#include <algorithm>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include "app/csettings.h"
#include "jobs/cmsg.h"
#include "services/cdecrypt.h"
#include "services/cftpfile.h"

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

}  // namespace

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

CPX3Update::CPX3Update(Opener opener) : m_opener(std::move(opener)) {}

CPX3Update::~CPX3Update() = default;

std::string CPX3Update::Server()
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
    m_strError.clear();
}

bool CPX3Update::Check()
{
    Reset();
    const std::string server = Server();
    CUpdaterNode indexLoader("Loader", 0);
    m_pIndex.reset(indexLoader.LoadFromFtp(server, IndexPath, User, Password));
    if (!m_pIndex) {
        m_strError = indexLoader.GetError().empty() ? "The update index is empty" : indexLoader.GetError();
        return false;
    }
    m_pIndex->ForEachNode(
        [this](CObjNode* node, void*) {
            auto* build = dynamic_cast<CUpdaterNode*>(node);
            if (build && build->GetTag() == "BUILD")
                m_nHighestBuild = std::max(m_nHighestBuild, build->GetBuildNumber());
        },
        nullptr);
    CUpdaterNode* newest = FindBuild(m_pIndex.get(), m_nHighestBuild);
    if (!newest) {
        m_strError = "The update index lists no build";
        return false;
    }
    m_strBuildInfoPath = newest->GetLocation();

    CUpdaterNode infoLoader("Loader", 0);
    m_pBuildInfo.reset(infoLoader.LoadFromFtp(server, m_strBuildInfoPath, User, Password));
    if (!m_pBuildInfo) {
        m_strError = infoLoader.GetError().empty() ? "The build information is empty" : infoLoader.GetError();
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

bool CPX3Update::Download()
{
    CMsgRun run;
    m_strStartedPath.clear();
    if (!m_pIndex && !Check())
        return false;
    m_strError.clear();
    CFtpFile ftp;
    if (!ftp.Connect(Server(), User, Password)) {
        m_strError = ftp.GetError();
        return false;
    }
    std::string folder = QDir::tempPath().toStdString();
    if (folder.empty() || (folder.back() != '/' && folder.back() != '\\'))
        folder += '/';
    const std::string local = folder + FileNameOf(m_strInstallerPath);
    if (!ftp.OpenRemote(m_strInstallerPath) || !ftp.DownloadTo(local)) {
        m_strError = ftp.GetError();
        return false;
    }

    std::string target = local;
    if (m_strScheme == "2") {
        target = folder + SetupName;
        ::unlink(target.c_str());
        CDecrypt decrypt(local, target);
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
