// px3 recover: scan a card and carve the files it holds into a new run folder.
#include <algorithm>
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
#include "recovery/cimagerecovery.h"

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
    for (const std::string& raw : SplitList(names)) {
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

int CmdRecover(const RecoverOptions& options)
{
    const char letter = ParseLetter(options.letter);
    if (!letter) {
        std::fprintf(stderr, "px3: '%s' is not a drive letter\n", options.letter.c_str());
        return 2;
    }
    Session session;
    SettingsRecord settings;
    CopySettings(session.Settings().Record(), settings);
    std::string error;
    if (!options.brands.empty()) {
        uint32_t brands = 0;
        if (!BrandsFromNames(options.brands, brands, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return 2;
        }
        settings.Brands = brands;
        settings.FileTypes = DefaultTypes(brands);
    }
    if (!options.types.empty()) {
        uint32_t mask = 0;
        if (!TypesFromNames(options.types, mask, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return 2;
        }
        settings.FileTypes = mask;
    }
    if (!options.workFolder.empty())
        settings.WorkFolder.SetPath(options.workFolder, true);

    CDriveInfo info;
    if (!DescribeCard(letter, info, error)) {
        std::fprintf(stderr, "px3: %s\n", error.c_str());
        return 2;
    }
    CTransferStatus status;
    CopySettings(settings, status.Settings);
    status.SelectedDrive = static_cast<uint32_t>(letter);
    status.Capacity = static_cast<uint64_t>(info.DiskSize());

    std::printf("Recovering %s from %c: (%s) into %s\n", TypeNames(settings.FileTypes).c_str(), letter,
                SizeText(static_cast<uint64_t>(info.DiskSize())).c_str(), settings.WorkFolder.GetText().c_str());
    std::fflush(stdout);
    bool ok = false;
    std::vector<std::string> found;
    std::string folder;
    std::string jobError;
    {
        ProgressPrinter progress(JobScope::Recovery);
        CancelOnInterrupt cancel;
        CImageRecovery job(&status, info, JobScope::Recovery);
        ok = job.Run();
        progress.Done();
        found = job.FoundNames();
        folder = job.DestinationFolder();
        jobError = job.GetError();
        if (job.MovieDoc().MovieCount() > 0) {
            for (int i = 1; i <= job.MovieDoc().MovieCount(); ++i)
                found.push_back("movie(" + std::to_string(i) + ")");
        }
    }
    std::map<std::string, int> byType;
    for (const std::string& name : status.RunFolder.GetText().empty() ? std::vector<std::string>{} : found) {
        const size_t dot = name.rfind('.');
        byType[dot == std::string::npos ? "movie" : Lower(name.substr(dot + 1))]++;
    }
    if (!folder.empty())
        std::printf("Run folder: %s\n", folder.c_str());
    std::printf("Files found: %u", status.FileCount);
    for (const auto& [type, count] : byType)
        std::printf("  %s %d", type.c_str(), count);
    std::printf("\n");
    if (!ok) {
        std::fprintf(stderr, "px3: %s\n", jobError.c_str());
        return jobError == "Canceled by user" ? 130 : 1;
    }
    if (!jobError.empty())
        std::fprintf(stderr, "px3: %s\n", jobError.c_str());
    std::printf("Finished\n");
    return 0;
}

}  // namespace px3cli
