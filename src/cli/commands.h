#pragma once
// The px3 commands: each registers its CLI11 subcommand and runs when selected.
#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

namespace px3cli {

struct Context {
    std::string letter;            // the drive letter argument of the selected command
    std::vector<std::function<int()>> runners;
    std::vector<CLI::App*> subcommands;
};

void RegisterCommands(CLI::App& app, Context& context);
// Runs the selected subcommand; its exit status.
int RunSelected(CLI::App& app, Context& context);

// A letter argument ("E", "e", "E:" or "E:\") as an upper-case letter; 0 when it is none.
char ParseLetter(const std::string& text);

int CmdCards();
int CmdInfo(const std::string& letter);

}  // namespace px3cli
