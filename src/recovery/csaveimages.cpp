#include "recovery/csaveimages.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "app/clogfile.h"
#include "app/ctransferstatus.h"
#include "platform/lasterror.h"
#include "platform/messagepump.h"
#include "recovery/cthumblist.h"
#include "recovery/ctransfer.h"

namespace fs = std::filesystem;

namespace {

// A camera name as a file name of the run folder: no folder part, no "." or "..", no
// control characters; empty when nothing is left (the prefix rule names the file then).
std::string SafeCameraName(const std::string& name)
{
    std::string safe;
    for (char c : name)
        safe += (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20) ? '_' : c;
    if (safe == "." || safe == ".." || safe.size() > 255)
        return {};
    return safe;
}

std::string CleanPrefix(const std::string& prefix)
{
    const char* blanks = " \t\r\n";
    const size_t first = prefix.find_first_not_of(blanks);
    if (first == std::string::npos)
        return "FILE";
    std::string text = prefix.substr(first, prefix.find_last_not_of(blanks) - first + 1);
    for (char& c : text) {
        if (c == '/')
            c = '_';
    }
    return text;
}

std::string ErrorText(int error)
{
    std::string text = px::SystemErrorText(error);
    return text.empty() ? "error " + std::to_string(error) : text;
}

void SendProgress(int32_t kind, int32_t value1, CVariant value2 = CVariant(0))
{
    CMsgProgress progress(value1, JobScope::Save, kind, std::move(value2));
}

}  // namespace

CPX3SaveImages::CPX3SaveImages(CThumbList* list, const std::string& prefix, bool cameraNames)
    : m_pList(list), m_strPrefix(CleanPrefix(prefix)), m_bCameraNames(cameraNames)
{
    Bus().AddListener("CPX3SaveImages", this);
}

CPX3SaveImages::~CPX3SaveImages() { Bus().RemoveListener(this); }

void CPX3SaveImages::OnMessage(CSingleMsg& msg)
{
    if (msg.Code == MsgCode::Cancel)
        m_bCancelRequested = msg.Value1.GetType() == CVariant::Type::I4 && msg.Value1.ToInt() == 1;
}

std::string CPX3SaveImages::SavedName(const std::string& prefix, size_t place)
{
    char number[32];
    std::snprintf(number, sizeof number, "_%03zu", place);
    return prefix + number;
}

void CPX3SaveImages::RenameKept(CThumb& thumb, size_t place)
{
    const std::string from = thumb.GetText();
    if (from.empty())
        return;
    const fs::path path(from);
    const std::string folder = path.has_parent_path() ? path.parent_path().string() + "/" : std::string();
    std::string extension = path.extension().string();
    std::string name = SavedName(m_strPrefix, place);
    std::string taken = "(%d)";
    const std::string camera = m_bCameraNames ? SafeCameraName(thumb.CameraName()) : std::string();
    if (!camera.empty()) {
        // The name the camera gave it; a name taken twice (two folders of the card) gets
        // " (2)" before its extension, as a desktop names a second copy.
        const size_t dot = camera.rfind('.');
        name = dot == std::string::npos || dot == 0 ? camera : camera.substr(0, dot);
        if (dot != std::string::npos && dot != 0)
            extension = camera.substr(dot);
        taken = " (%d)";
    }
    auto numbered = [&](int k) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, taken.c_str(), k);
        return folder + name + suffix + extension;
    };
    std::string to = folder + name + extension;
    int error = to == from ? 0 : RenameNoReplace(from, to);
    // A taken name is never replaced: the file takes the next free one. The bound only
    // keeps a folder full of such names from turning this into a long search.
    for (int k = camera.empty() ? 1 : 2; error == EEXIST && k <= 999; ++k) {
        to = numbered(k);
        error = to == from ? 0 : RenameNoReplace(from, to);
    }
    if (error != 0) {
        Log().Outcome("-FAIL", "Save ==> " + from + " keeps its name: " + ErrorText(error));
        return;
    }
    if (to != from)
        m_pList->RenameAt(place, to);
}

bool CPX3SaveImages::Run()
{
    m_bCancelRequested = false;
    CRunner runner(this);
    const size_t count = m_pList ? m_pList->GetCount() : 0;
    SendProgress(ProgressStep::Show, 1);
    SendProgress(ProgressStep::Range, 0, CVariant(int32_t(count)));
    for (size_t i = 0; i < count; ++i) {
        if (CThumb* thumb = m_pList->GetAt(i)) {
            if (thumb->IsKept()) {
                RenameKept(*thumb, i);
            } else if (!thumb->GetText().empty()) {
                if (::unlink(thumb->GetText().c_str()) != 0 && errno != ENOENT)
                    Log().Outcome("-FAIL", "Save ==> cannot delete " + thumb->GetText() + ": " + ErrorText(errno));
            }
        }
        {
            CMsgProgress position(int32_t(i + 1), JobScope::Save, std::string());
        }
        if (m_bCancelRequested) {
            m_strError = "Canceled by user";
            SendProgress(ProgressStep::Finished, 0);
            return false;
        }
        px::PumpMessages();
    }
    SendProgress(ProgressStep::Finished, 0);
    return true;
}

bool CCleanImages::Run()
{
    m_bCancelRequested = false;
    m_strError.clear();
    const size_t count = m_pList ? m_pList->GetCount() : 0;
    std::string runFolder;
    std::string failure;
    for (size_t i = 0; i < count; ++i) {
        const CThumb* thumb = m_pList->GetAt(i);
        const std::string path = thumb ? thumb->GetText() : std::string();
        if (i == 0 && !path.empty())
            runFolder = fs::path(path).parent_path().string();
        if (!path.empty() && ::unlink(path.c_str()) != 0 && errno != ENOENT && failure.empty())
            failure = "Cannot delete " + path + " ==> " + ErrorText(errno);
        if (m_bCancelRequested) {
            m_strError = "Canceled by user";
            break;
        }
        px::PumpMessages();
    }
    // rmdir removes only an empty folder: whatever else lies there stays.
    if (!runFolder.empty() && ::rmdir(runFolder.c_str()) != 0 && errno != ENOENT)
        Log().Info("Clean ==> " + runFolder + " stays: " + ErrorText(errno));
    if (m_strError.empty())
        m_strError = failure;
    if (!m_strError.empty())
        Log().Outcome("-FAIL", "Clean ==> " + m_strError);
    return m_strError.empty();
}

PrefixCheck CheckFilePrefix(const std::string& prefix)
{
    // The length that still fits a file name with "_NNN(k).ext" behind it on every system.
    constexpr size_t kLongestPrefix = 60;
    static const std::string kAllowed = "qwertyuiopasdfghjklzxcvbnmQWERTYUIOPASDFGHJKLZXCVBNM0123456789_";
    if (prefix.find_first_not_of(" \t\r\n") == std::string::npos)
        return {PrefixCheck::Empty, {}};
    if (prefix.size() > kLongestPrefix)
        return {PrefixCheck::TooLong, {}};
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (kAllowed.find(prefix[i]) != std::string::npos)
            continue;
        // The whole character: a UTF-8 lead byte and the continuation bytes after it.
        size_t end = i + 1;
        if ((static_cast<unsigned char>(prefix[i]) & 0xC0) == 0xC0)
            while (end < prefix.size() && end - i < 4 && (static_cast<unsigned char>(prefix[end]) & 0xC0) == 0x80)
                ++end;
        return {PrefixCheck::BadCharacter, prefix.substr(i, end - i)};
    }
    return {};
}

std::string FilePrefixProblem(const std::string& prefix)
{
    const PrefixCheck check = CheckFilePrefix(prefix);
    switch (check.problem) {
    case PrefixCheck::Empty:
        return "File prefix must be entered.";
    case PrefixCheck::TooLong:
        return "File prefix is too long.";
    case PrefixCheck::BadCharacter:
        return "The character '" + check.character + "' is not allowed in the file name prefix.";
    default:
        return {};
    }
}
