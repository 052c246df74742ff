// px3 settings: print the effective settings, or change and save them.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "app/filetypes.h"
#include "cli/commands.h"
#include "cli/session.h"

namespace px3cli {

namespace {

// The work folder given to --work, made absolute: a leading ~ is the home folder, a relative
// path is taken from the current folder. A missing folder is made. Empty, with the reason in
// *reason, when the path cannot be a folder this user can write in.
std::string UsableWorkFolder(const std::string& given, std::string* reason)
{
    namespace fs = std::filesystem;
    std::string text = given;
    if (text == "~" || text.rfind("~/", 0) == 0) {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            *reason = "HOME is not set, so ~ has no meaning";
            return {};
        }
        text = home + text.substr(1);
    }
    std::error_code ec;
    fs::path path = fs::absolute(text, ec);
    if (ec) {
        *reason = std::strerror(ec.value());
        return {};
    }
    path = path.lexically_normal();
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) {
        fs::create_directories(path, ec);
        if (ec) {
            *reason = std::strerror(ec.value());
            return {};
        }
    } else if (ec) {
        *reason = std::strerror(ec.value());
        return {};
    } else if (status.type() != fs::file_type::directory) {
        *reason = std::strerror(ENOTDIR);
        return {};
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
        *reason = std::strerror(errno);
        return {};
    }
    std::string result = path.string();
    if (result.size() > 1 && result.back() == '/')
        result.pop_back();
    return result;
}

}  // namespace

int CmdSettings(const SettingsOptions& options)
{
    Session session;
    CSettings& settings = session.Settings();
    SettingsRecord& record = settings.Record();
    std::string error;
    bool changed = false;
    if (!options.brands.empty()) {
        uint32_t brands = 0;
        if (!BrandsFromNames(options.brands, brands, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return 2;
        }
        record.Brands = brands;
        record.FileTypes = DefaultTypes(brands);
        changed = true;
    }
    if (!options.types.empty()) {
        uint32_t mask = 0;
        if (!TypesFromNames(options.types, mask, error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return 2;
        }
        record.FileTypes = mask;
        changed = true;
    }
    auto absolute = [](const std::string& folder) {
        std::error_code ec;
        return std::filesystem::absolute(folder, ec).lexically_normal().string();
    };
    if (!options.workFolder.empty()) {
        std::string reason;
        const std::string folder = UsableWorkFolder(options.workFolder, &reason);
        if (folder.empty()) {
            std::fprintf(stderr, "px3: --work %s: not a folder this user can write in: %s\n",
                         options.workFolder.c_str(), reason.c_str());
            return 2;
        }
        settings.SetWorkFolder(folder);
        changed = true;
    }
    if (!options.saveFolder.empty()) {
        settings.SetSaveFolder(absolute(options.saveFolder));
        changed = true;
    }
    if (options.maxSize != SettingsOptions::kMaxSizeNotGiven) {
        // A maximum of 0 or less would end every file after its first block.
        if (options.maxSize < 1 || options.maxSize > 0x7FFFFFFF) {
            std::fprintf(stderr, "px3: --max-size is from 1 to 2147483647 bytes\n");
            return 2;
        }
        record.MaxFileSize = static_cast<int32_t>(options.maxSize);
        changed = true;
    }
    if (changed && !settings.SaveSettings()) {
        std::fprintf(stderr, "px3: the settings could not be saved\n");
        return 1;
    }
    std::string brands;
    for (const BrandRow& row : BrandTable())
        if (record.Brands & row.Bit)
            brands += (brands.empty() ? "" : ", ") + std::string(row.ShortName);
    std::printf("Brands:        %s\n", brands.empty() ? "(none)" : brands.c_str());
    std::printf("File types:    %s\n", TypeNames(record.FileTypes).c_str());
    std::printf("Work folder:   %s\n", settings.GetWorkFolder().c_str());
    std::printf("Save folder:   %s\n", settings.GetSaveFolder().c_str());
    std::printf("Backup folder: %s\n", settings.GetBackupFolder().c_str());
    std::printf("Max file size: %d bytes\n", record.MaxFileSize);
    std::printf("File prefix:   %s\n", record.FilePrefix.c_str());
    return 0;
}

}  // namespace px3cli
