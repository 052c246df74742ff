#pragma once
// The px3 commands: each registers its CLI11 subcommand and runs when selected.
#include <CLI/CLI.hpp>

#include <functional>
#include <memory>
#include <climits>
#include <string>
#include <vector>

namespace px3cli {

struct RecoverOptions;
struct SettingsOptions;

struct Context {
    std::string letter;            // the drive letter argument of the selected command
    std::shared_ptr<RecoverOptions> recover;
    std::shared_ptr<SettingsOptions> settings;
    std::vector<std::function<int()>> runners;
    std::vector<CLI::App*> subcommands;
};

void RegisterCommands(CLI::App& app, Context& context);
// The help text of every command's LETTER argument.
inline constexpr const char* kLetterHelp = "Drive letter of the card, as px3 cards lists it (E, e or E:)";
// The file types and the camera brands that --types and --brand take, for the help texts.
std::string KnownTypesText();
std::string KnownBrandsText();
// Runs the selected subcommand; its exit status.
int RunSelected(CLI::App& app, Context& context);

// A letter argument ("E", "e", "E:" or "E:\") as an upper-case letter; 0 when it is none.
char ParseLetter(const std::string& text);

struct RecoverOptions {
    std::string letter;
    std::vector<std::string> types;    // extensions, "all"
    std::vector<std::string> brands;   // camera brand names
    std::string workFolder;            // for this run only
    std::string saveFolder;            // save the kept files here after the scan
    std::string prefix;                // name prefix of the saved files
    std::vector<std::string> keep;     // types to keep when saving (default: all found)
    std::string names = "camera";      // how saved files are named: "camera" or "prefix"
    bool thumbnails = false;           // make thumbnails of found files, as the wizard does
};

struct SettingsOptions {
    std::vector<std::string> brands, types;
    std::string workFolder, saveFolder, prefix;
    long long maxSize = kMaxSizeNotGiven;
    static constexpr long long kMaxSizeNotGiven = LLONG_MIN;
};

// File-type mask of extension names ("jpg", "nef", "all"...); false with a message.
bool TypesFromNames(const std::vector<std::string>& names, uint32_t& mask, std::string& error);
bool BrandsFromNames(const std::vector<std::string>& names, uint32_t& brands, std::string& error);
std::string TypeNames(uint32_t mask);

int CmdCards();
int CmdRecover(const RecoverOptions& options);
int CmdSettings(const SettingsOptions& options);
int CmdInfo(const std::string& letter);
int CmdEject(const std::string& letter);

}  // namespace px3cli
