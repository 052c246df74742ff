#pragma once
// px3 test, px3 format, px3 erase and px3 backup: the card tools from the command line.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/commands.h"

namespace px3cli {

// Registers "test", "format", "erase" and "backup" in the app, with their runners in the
// context.
void RegisterToolCommands(CLI::App& app, Context& context);

// Exit statuses: 0 the job finished; 1 the job failed or the user said no; 2 the drive
// letter is wrong or the drive cannot be used (no card, not a card, in use); 130 cancelled.
int CmdTest(const std::string& letter);
int CmdFormat(const std::string& letter, bool yes);
int CmdErase(const std::string& letter, bool yes);
// px3 test E --write: the capacity test (asks first, as the erase does). 0 when every
// block holds what was written, 1 for a fake or failing card or a failure.
int CmdCapacityTest(const std::string& letter, bool yes);

struct BackupCommandOptions {
    std::string letter;
    std::string image;
    std::string map;       // empty: IMAGE.map
    bool sparse = false;
    int retries = 1;
};
// px3 backup E IMAGE: 0 every block copied, 3 some blocks could not be read (bad in the
// map), 1 failed (the map says what was copied), 130 cancelled, 2 bad arguments.
int CmdBackup(const BackupCommandOptions& options);

// Asks the question on out and reads one line from in: true only for "yes" (any case,
// blanks around it ignored). End of input or anything else is a no.
bool Confirm(const std::string& question, std::FILE* in, std::FILE* out);

}  // namespace px3cli
