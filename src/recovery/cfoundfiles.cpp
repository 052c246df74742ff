#include "recovery/cfoundfiles.h"

#include "recovery/csaveimages.h"
#include "recovery/ctransfer.h"

bool CFoundFiles::SaveKept(const std::string& prefix, std::string& error, bool cameraNames)
{
    CPX3SaveImages save(&m_thumbs, prefix, cameraNames);
    const bool ok = save.Run();
    error = ok ? std::string() : save.GetError();
    return ok;
}

bool CFoundFiles::CleanAll(std::string& error)
{
    CCleanImages clean(&m_thumbs);
    const bool ok = clean.Run();
    error = ok ? std::string() : clean.GetError();
    return ok;
}

bool CFoundFiles::MoveFolder(const std::string& source, const std::string& target, std::string& error)
{
    CMoveTransfer move;
    try {
        const bool ok = move.Transfer(source, target);
        error = ok ? std::string() : move.GetError();
        return ok;
    } catch (const CTransferException& stop) {
        error = stop.GetText();
        return false;
    }
}

bool CFoundFiles::CopyFolder(const std::string& source, const std::string& target, std::string& error)
{
    CTransfer copy;
    try {
        const bool ok = copy.Transfer(source, target);
        error = ok ? std::string() : copy.GetError();
        return ok;
    } catch (const CTransferException& stop) {
        error = stop.GetText();
        return false;
    }
}
