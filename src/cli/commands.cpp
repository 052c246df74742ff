#include "cli/commands.h"

#include <cctype>
#include <cstdio>

namespace px3cli {

char ParseLetter(const std::string& text)
{
    if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0])))
        return 0;
    const std::string rest = text.substr(1);
    if (!rest.empty() && rest != ":" && rest != ":\\" && rest != ":/")
        return 0;
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

void RegisterCommands(CLI::App& app, Context& context)
{
    auto add = [&](CLI::App* sub, std::function<int()> run) {
        context.subcommands.push_back(sub);
        context.runners.push_back(std::move(run));
    };
    add(app.add_subcommand("cards", "List the card drives: drive, device type, size, vendor, bus type"),
        [] { return CmdCards(); });
    auto* info = app.add_subcommand("info", "Print the card information report of a drive");
    info->add_option("LETTER", context.letter, "Drive letter of the card")->required();
    add(info, [&context] { return CmdInfo(context.letter); });
}

int RunSelected(CLI::App& app, Context& context)
{
    for (size_t i = 0; i < context.subcommands.size(); ++i)
        if (context.subcommands[i]->parsed())
            return context.runners[i]();
    std::fprintf(stderr, "px3: no command given\n");
    return 2;
}

}  // namespace px3cli
