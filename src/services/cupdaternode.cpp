#include "services/cupdaternode.h"

#include <vector>


bool CUpdaterNode::SetAttribute(const std::string& key, const std::string& value)
{
    if (CMFCObjNode::SetAttribute(key, value))
        return true;
    if (key == "location")
        m_location.SetPath(value, false);
    else if (key == "scheme")
        m_strScheme = value;
    else if (key == "version")
        m_strVersion = value;
    else if (key == "buildnumber")
        m_nBuildNumber = DecimalTextToInt(value);
    else if (key == "sha256")
        m_strSha256 = value;
    else
        return false;
    return true;
}

bool CUpdaterNode::SaveToFile(const std::string&) { return false; }

CUpdaterNode* CUpdaterNode::LoadFromFtp(const std::string& host, const std::string& path, const std::string& user,
                                        const std::string& password, const FtpLimits& limits,
                                        const std::atomic<bool>* cancel)
{
    m_strError.clear();
    CFtpFile ftp;
    ftp.SetLimits(limits);
    ftp.SetCancelFlag(cancel);
    if (!ftp.Connect(host, user, password) || !ftp.OpenRemote(path)) {
        m_strError = ftp.GetError();
        return nullptr;
    }
    if (ftp.GetRemoteSize() > MaxFileSize) {
        m_strError = "Ftp Error: The remote Ftp file is too large: " + path;
        return nullptr;
    }
    std::string text;
    std::vector<char> block(CFtpFile::BlockSize);
    for (;;) {
        uint32_t got = 0;
        // A read fails too when the data ends before the size the server told.
        if (!ftp.Read(block.data(), uint32_t(block.size()), got)) {
            m_strError = ftp.IsAborted() ? ftp.GetError() : ftp.GetError() + ": " + path;
            return nullptr;
        }
        if (got == 0)
            break;
        if (int64_t(text.size() + got) > MaxFileSize) {
            m_strError = "Ftp Error: The remote Ftp file is too large: " + path;
            return nullptr;
        }
        text.append(block.data(), got);
    }
    // The bytes are taken as a C string: the text ends at its first NUL byte.
    if (const size_t nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    if (text.empty())
        return nullptr;
    const size_t before = GetChildren().GetCount();
    ParseText(text);
    auto* first = dynamic_cast<CUpdaterNode*>(DetachFirstChildFrom(before));
    if (!first)
        m_strError = "The file is damaged (it holds no update information): " + path;
    return first;
}
