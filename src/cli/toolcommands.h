#pragma once
// px3 test, px3 format and px3 erase: the card tools from the command line.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/commands.h"

namespace px3cli {

// Registers "test", "format" and "erase" in the app, with their runners in the context.
void RegisterToolCommands(CLI::App& app, Context& context);

// Exit statuses: 0 the job finished; 1 the job failed or the user said no; 2 the drive
// letter is wrong or the drive cannot be used (no card, not a card, in use); 130 cancelled.
int CmdTest(const std::string& letter);
int CmdFormat(const std::string& letter, bool yes);
int CmdErase(const std::string& letter, bool yes);

// Asks the question on out and reads one line from in: true only for "yes" (any case,
// blanks around it ignored). End of input or anything else is a no.
bool Confirm(const std::string& question, std::FILE* in, std::FILE* out);

}  // namespace px3cli
