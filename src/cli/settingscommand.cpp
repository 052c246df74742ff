// px3 settings: print the effective settings, or change and save them.
#include <cstdio>
#include <filesystem>

#include "app/filetypes.h"
#include "cli/commands.h"
#include "cli/session.h"

namespace px3cli {

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
        settings.SetWorkFolder(absolute(options.workFolder));
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
