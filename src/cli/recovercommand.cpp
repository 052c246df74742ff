// px3 recover: scan a card and carve the files it holds into a new run folder.
#include <algorithm>
#include <filesystem>
#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/clogfile.h"
#include "app/filetypes.h"
#include "app/progresstext.h"
#include "cli/commands.h"
#include "cli/session.h"
#include "device/cdriveinfo.h"
#include "device/cdrivedoc.h"
#include "recovery/cfoundfiles.h"
#include "recovery/cimagerecovery.h"
#include "recovery/csaveimages.h"

namespace px3cli {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> SplitList(const std::vector<std::string>& items)
{
    std::vector<std::string> out;
    for (const std::string& item : items) {
        size_t start = 0;
        while (start <= item.size()) {
            const size_t comma = item.find(',', start);
            std::string part = item.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (!part.empty())
                out.push_back(Lower(part));
            if (comma == std::string::npos)
                break;
            start = comma + 1;
        }
    }
    return out;
}

}  // namespace

bool TypesFromNames(const std::vector<std::string>& names, uint32_t& mask, std::string& error)
{
    mask = 0;
    const std::vector<std::string> list = SplitList(names);
    if (list.empty()) {
        // An empty list would scan the whole card for nothing.
        error = "no file type given (name extensions such as jpg,nef,mov, or all)";
        return false;
    }
    for (const std::string& raw : list) {
        std::string name = raw;
        if (!name.empty() && name[0] == '.')
            name.erase(0, 1);
        if (name == "all") {
            for (const FileTypeRow& row : FileTypeTable())
                mask |= row.Bit;
            continue;
        }
        if (name == "jpeg")
            name = "jpg";
        else if (name == "tiff")
            name = "tif";
        else if (name == "wav")
            name = "wave";
        bool found = false;
        for (const FileTypeRow& row : FileTypeTable()) {
            if (row.Extension == name) {
                mask |= row.Bit;
                found = true;
            }
        }
        if (!found) {
            error = "unknown file type '" + raw + "' (known:";
            for (const FileTypeRow& row : FileTypeTable())
                error += " " + std::string(row.Extension);
            error += ", all)";
            return false;
        }
    }
    return true;
}

bool BrandsFromNames(const std::vector<std::string>& names, uint32_t& brands, std::string& error)
{
    brands = 0;
    for (const std::string& name : SplitList(names)) {
        bool found = false;
        for (const BrandRow& row : BrandTable()) {
            if (Lower(std::string(row.ShortName)) == name || Lower(std::string(row.LongName)) == name) {
                brands |= row.Bit;
                found = true;
            }
        }
        if (!found) {
            error = "unknown camera brand '" + name + "' (known:";
            for (const BrandRow& row : BrandTable())
                error += " " + std::string(row.ShortName);
            error += ")";
            return false;
        }
    }
    return true;
}

std::string TypeNames(uint32_t mask)
{
    std::string text;
    for (const FileTypeRow& row : FileTypeTable())
        if (mask & row.Bit)
            text += (text.empty() ? "" : " ") + std::string(row.Extension);
    return text.empty() ? "(none)" : text;
}

namespace {

// Adds every file the scan finishes to the card document's found list, as the find page
// does.
class FoundFileAdder : public CListener {
public:
    explicit FoundFileAdder(CFoundList& list) : m_list(list) { Bus().AddListener("FoundFileAdder", this); }
    ~FoundFileAdder() override { Bus().RemoveListener(this); }
    void OnMessage(CSingleMsg& msg) override
    {
        if (msg.Code != MsgCode::TransferStatus || msg.Scope.ToInt() != JobScope::Recovery)
            return;
        auto* status = dynamic_cast<CTransferStatus*>(msg.Attached);
        if (status && status->Kind == StatusKind::FileFinished)
            m_list.AddFile(status->FilePath.GetText());
        else if (status && status->Kind == StatusKind::FileDescribed)
            m_list.Describe(status->FilePath.GetText(), status->CameraName, status->ShotTime);
    }

private:
    CFoundList& m_list;
};

std::string Extension(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return {};
    return Lower(path.substr(dot + 1));
}

// Keep marks from the --keep list: a file is kept when its extension is listed.
void MarkKept(CThumbList& thumbs, const std::vector<std::string>& keep)
{
    const std::vector<std::string> wanted = SplitList(keep);
    for (size_t i = 0; i < thumbs.GetCount(); ++i) {
        CThumb* thumb = thumbs.GetAt(i);
        std::string ext = Extension(thumb->GetText());
        bool kept = false;
        for (std::string w : wanted) {
            if (!w.empty() && w[0] == '.')
                w.erase(0, 1);
            kept = kept || w == ext || (w == "jpeg" && ext == "jpg") || (w == "tiff" && ext == "tif") ||
                   (w == "wave" && ext == "wav");
        }
        if (kept)
            thumb->SetFlags(thumb->GetFlags() | ThumbFlag::Keep);
        else
            thumb->SetFlags(thumb->GetFlags() & ~ThumbFlag::Keep);
    }
}

}  // namespace

namespace {

// Saves what the scan found, as the save page does: keep marks, prefix, save folder.
int SaveFound(CDriveDoc& doc, CFoundFiles& found, const RecoverOptions& options, const std::string& runFolder)
{
    if (!options.keep.empty())
        MarkKept(found.Thumbs(), options.keep);
    const size_t kept = found.Thumbs().CountKept();
    const size_t count = found.Thumbs().GetCount();
    std::error_code ec;
    const std::string saveFolder = std::filesystem::absolute(options.saveFolder, ec).lexically_normal().string();
    std::filesystem::create_directories(saveFolder, ec);
    if (!doc.CheckSaveFolder(saveFolder)) {
        std::fprintf(stderr, "px3: cannot use the save folder %s%s%s; the files found are in %s\n", saveFolder.c_str(),
                     ec ? ": " : "", ec ? ec.message().c_str() : "", runFolder.c_str());
        return 1;
    }
    doc.Settings().SaveFolder.SetPath(saveFolder + "/", true);
    if (!options.prefix.empty())
        doc.Settings().FilePrefix = options.prefix;
    const bool cameraNames = options.names != "prefix";
    const char* prefix = doc.Settings().FilePrefix.empty() ? "FILE" : doc.Settings().FilePrefix.c_str();
    if (cameraNames)
        std::printf("Saving %zu of %zu files under their camera names (the others as %s_NNN)...\n", kept, count, prefix);
    else
        std::printf("Saving %zu of %zu files as %s_NNN...\n", kept, count, prefix);
    const bool saved = doc.SaveFoundFiles(doc.Settings().FilePrefix, cameraNames);
    // The run folder keeps its name under the save folder, or takes the next "_N" free in
    // both when an earlier run of the same second was saved there: the document says which.
    const std::string target = doc.SaveTarget();
    if (!saved) {
        // Nothing is lost: a file that could not be moved stays where it was.
        const std::string left = doc.Status().RunFolder.GetText().empty() ? runFolder : doc.Status().RunFolder.GetText();
        std::fprintf(stderr, "px3: saving failed: %s\n", doc.GetError().c_str());
        std::error_code exists;
        if (!target.empty() && std::filesystem::exists(target, exists) && !std::filesystem::is_empty(target, exists))
            std::fprintf(stderr, "px3: the files saved so far are in %s\n", target.c_str());
        if (std::filesystem::exists(left, exists) && !std::filesystem::is_empty(left, exists))
            std::fprintf(stderr, "px3: the files not saved are still in %s\n", left.c_str());
        return 1;
    }
    std::printf("Saved into: %s\n", target.c_str());
    std::printf("Finished\n");
    return 0;
}

}  // namespace

namespace {

// The settings of this run: the stored ones with the command's brands, types and work
// folder. Exit status 2 with the message printed when an argument is wrong, else 0.
int RunSettings(const RecoverOptions& options, const SettingsRecord& stored, SettingsRecord& settings)
{
    settings = stored;
    std::string error;
    if (!options.brands.empty()) {
        uint32_t brands = 0;
        if (!BrandsFromNames(options.brands, brands, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return ExitCode::Usage;
        }
        settings.Brands = brands;
        settings.FileTypes = DefaultTypes(brands);
    }
    if (!options.types.empty()) {
        uint32_t mask = 0;
        if (!TypesFromNames(options.types, mask, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return ExitCode::Usage;
        }
        settings.FileTypes = mask;
    }
    if (!options.workFolder.empty()) {
        std::error_code ec;
        settings.WorkFolder.SetPath(std::filesystem::absolute(options.workFolder, ec).lexically_normal().string() + "/",
                                    true);
    }
    return ExitCode::Ok;
}

// The save arguments, checked before the card is scanned: --prefix and --keep go with
// --save, the prefix follows the save page's rules, the kept types exist.
int CheckSaveArguments(const RecoverOptions& options, const SettingsRecord& settings)
{
    const bool saving = !options.saveFolder.empty();
    if (!saving && (!options.prefix.empty() || !options.keep.empty() || options.names != "camera")) {
        std::fprintf(stderr, "px3: --prefix, --keep and --names go with --save FOLDER\n");
        return ExitCode::Usage;
    }
    if (saving) {
        const std::string prefix = options.prefix.empty() ? settings.FilePrefix : options.prefix;
        const std::string problem = FilePrefixProblem(prefix);
        if (!problem.empty()) {
            std::fprintf(stderr, "px3: --prefix '%s': %s\n", prefix.c_str(), problem.c_str());
            return ExitCode::Usage;
        }
    }
    if (!options.keep.empty()) {
        uint32_t unused = 0;
        std::string error;
        if (!TypesFromNames(options.keep, unused, error)) {
            std::fprintf(stderr, "px3: --keep: %s\n", error.c_str());
            return ExitCode::Usage;
        }
    }
    return ExitCode::Ok;
}

struct ScanResult {
    bool ok = false;
    std::string folder;
    std::string error;
    JobOutcome outcome = JobOutcome::NotRun;
};

// The recovery job over the selected card, with the progress line and Ctrl-C.
ScanResult Scan(CDriveDoc& doc, CFoundFiles& found, bool thumbnails)
{
    ScanResult result;
    ProgressPrinter progress(JobScope::Recovery);
    CancelOnInterrupt cancel;
    FoundFileAdder adder(found);
    CImageRecovery job(&doc.Status(), doc.SelectedInfo(), JobScope::Recovery);
    result.ok = job.Run();
    progress.Done();
    if (thumbnails)
        found.Thumbs().WaitForThumbnails();
    result.folder = job.DestinationFolder();
    result.error = job.GetError();
    result.outcome = job.Outcome();
    return result;
}

// "Run folder: ..." and "Files found: N  jpg 3  movie 1 ...": what the run folder holds
// (a file that could not be made is no file found).
void PrintFound(const std::string& folder)
{
    std::map<std::string, int> byType;
    size_t filesFound = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it, end;
    if (!folder.empty())
        it = std::filesystem::directory_iterator(folder, ec);
    for (; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file(ec))
            continue;
        const std::string name = it->path().filename().string();
        ++filesFound;
        byType[name.rfind("movie(", 0) == 0 ? "movie" : Extension(name)]++;
    }
    if (!folder.empty())
        std::printf("Run folder: %s\n", folder.c_str());
    std::printf("Files found: %zu", filesFound);
    for (const auto& [type, count] : byType)
        std::printf("  %s %d", type.c_str(), count);
    std::printf("\n");
}

}  // namespace

int CmdRecover(const RecoverOptions& options)
{
    const char letter = ParseLetter(options.letter);
    if (!letter) {
        std::fprintf(stderr, "px3: '%s' is not a drive letter\n", options.letter.c_str());
        return ExitCode::Usage;
    }
    Session session;
    SettingsRecord stored, settings;
    CopySettings(session.Settings().Record(), stored);
    if (const int rc = RunSettings(options, stored, settings))
        return rc;
    CDriveInfo info;
    std::string error;
    if (!DescribeCard(letter, info, error)) {
        std::fprintf(stderr, "px3: %s\n", error.c_str());
        return ExitCode::Usage;
    }
    if (const int rc = CheckSaveArguments(options, settings))
        return rc;

    CDriveDoc doc;
    auto foundFiles = std::make_unique<CFoundFiles>();
    foundFiles->Thumbs().SetMakeThumbnails(options.thumbnails);
    CFoundFiles* found = foundFiles.get();
    doc.SetFoundList(std::move(foundFiles));
    doc.Reload();
    doc.SelectDrive(letter);
    if (!doc.SelectedLoaded() || !doc.SelectedInfo().IsCard()) {
        std::fprintf(stderr, "px3: %c: holds no card that can be read%s%s\n", letter, doc.GetError().empty() ? "" : ": ",
                     doc.GetError().c_str());
        return ExitCode::Usage;
    }
    CopySettings(settings, doc.Status().Settings);
    std::printf("Recovering %s from %c: (%s) into %s\n", TypeNames(settings.FileTypes).c_str(), letter,
                SizeText(static_cast<uint64_t>(info.DiskSize())).c_str(), settings.WorkFolder.GetText().c_str());
    std::fflush(stdout);

    const ScanResult scan = Scan(doc, *found, options.thumbnails);
    PrintFound(scan.folder);
    // How much of the card the carved files could not see (zeros in their place).
    if (const uint64_t unread = doc.Status().UnreadableBlocks; unread > 0)
        std::printf("Could not read: %s\n", SizeText(unread * 512).c_str());
    if (found->Thumbs().GetCount() > 0)
        std::printf("Names from the card: %zu of %zu files\n", found->Thumbs().CountNamed(), found->Thumbs().GetCount());
    const bool saving = !options.saveFolder.empty();
    if (!scan.ok) {
        std::fprintf(stderr, "px3: %s\n", scan.error.c_str());
        if (saving && !scan.folder.empty())
            std::fprintf(stderr, "px3: nothing was saved; the files found so far are in %s\n", scan.folder.c_str());
        return ExitStatus(scan.outcome);
    }
    if (!scan.error.empty())
        std::fprintf(stderr, "px3: %s\n", scan.error.c_str());
    if (saving) {
        const int saved = SaveFound(doc, *found, options, scan.folder);
        return saved != 0 ? saved : ExitStatus(scan.outcome);
    }
    std::printf("Finished\n");
    return ExitStatus(scan.outcome);
}

}  // namespace px3cli
