#include "cli/commands.h"
#include "cli/toolcommands.h"

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

    auto* eject = app.add_subcommand("eject", "Eject the card of a drive");
    eject->add_option("LETTER", context.letter, "Drive letter of the card")->required();
    add(eject, [&context] { return CmdEject(context.letter); });

    context.recover = std::make_shared<RecoverOptions>();
    auto* recover = app.add_subcommand("recover", "Scan a card and recover the pictures, movies and sounds it holds");
    recover->add_option("LETTER", context.recover->letter, "Drive letter of the card")->required();
    recover->add_option("--types", context.recover->types,
                        "File types for this run: extensions (jpg,nef,mov,...) or 'all'; default: the settings")
        ->delimiter(',');
    recover->add_option("--brand", context.recover->brands, "Camera brands for this run (their default types)")
        ->delimiter(',');
    recover->add_option("--work", context.recover->workFolder, "Work folder for this run's run folder");
    recover->add_option("--save", context.recover->saveFolder,
                        "After the scan, save the kept files into this folder (the run folder moves there)");
    recover->add_option("--prefix", context.recover->prefix, "Name prefix of the saved files (default: the settings')");
    recover->add_option("--keep", context.recover->keep,
                        "File types to keep when saving (extensions); the others are deleted. Default: all")
        ->delimiter(',');
    recover->add_flag("--thumbnails", context.recover->thumbnails,
                      "Make thumbnails of the found files while scanning, as the wizard does");
    add(recover, [&context] { return CmdRecover(*context.recover); });

    context.settings = std::make_shared<SettingsOptions>();
    auto* settings = app.add_subcommand("settings", "Print the settings, or change and save them");
    settings->add_option("--brand", context.settings->brands, "Camera brands (their default file types)")->delimiter(',');
    settings->add_option("--types", context.settings->types, "File types: extensions or 'all'")->delimiter(',');
    settings->add_option("--work", context.settings->workFolder, "Work folder (recovery runs are made in it)");
    settings->add_option("--save", context.settings->saveFolder, "Save folder");
    settings->add_option("--max-size", context.settings->maxSize, "Largest recovered file in bytes");
    add(settings, [&context] { return CmdSettings(*context.settings); });

    RegisterToolCommands(app, context);
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
