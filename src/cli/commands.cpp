#include "cli/commands.h"
#include "cli/toolcommands.h"

#include <cctype>
#include <cstdio>

#include "app/filetypes.h"

namespace px3cli {

std::string KnownTypesText()
{
    std::string text;
    for (const FileTypeRow& row : FileTypeTable())
        text += (text.empty() ? "" : " ") + std::string(row.Extension);
    return text;
}

std::string KnownBrandsText()
{
    std::string text;
    for (const BrandRow& row : BrandTable())
        text += (text.empty() ? "" : " ") + std::string(row.ShortName);
    return text;
}

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
    const std::string types = "all, or some of " + KnownTypesText() + " (jpeg, tiff and wav are taken too)";
    const std::string brands = KnownBrandsText();

    add(app.add_subcommand("cards", "List the card drives: drive, device type, size, vendor, bus type"),
        [] { return CmdCards(); });
    auto* info = app.add_subcommand("info", "Print the card information report of a drive");
    info->add_option("LETTER", context.letter, kLetterHelp)->required();
    add(info, [&context] { return CmdInfo(context.letter); });

    auto* eject = app.add_subcommand("eject", "Eject the card of a drive");
    eject->add_option("LETTER", context.letter, kLetterHelp)->required();
    add(eject, [&context] { return CmdEject(context.letter); });

    context.recover = std::make_shared<RecoverOptions>();
    auto* recover = app.add_subcommand(
        "recover", "Scan a card and carve the pictures, movies and sounds it holds into a new run folder");
    recover->add_option("LETTER", context.recover->letter, kLetterHelp)->required();
    recover->add_option("--types", context.recover->types,
                        "File types for this run, comma-separated: " + types + "; default: the settings' types")
        ->delimiter(',')
        ->type_name("TYPE");
    recover->add_option("--brand", context.recover->brands,
                        "Camera brands for this run, comma-separated; their default types are searched for: " + brands)
        ->delimiter(',')
        ->type_name("BRAND");
    recover->add_option("--work", context.recover->workFolder,
                        "Make this run's run folder in FOLDER instead of the settings' work folder")
        ->type_name("FOLDER");
    recover->add_option("--save", context.recover->saveFolder,
                        "After the scan, save the kept files into FOLDER (the run folder moves there)")
        ->type_name("FOLDER");
    recover->add_option("--prefix", context.recover->prefix,
                        "With --save: name prefix of the saved files (PREFIX_001.JPG, ...), at most 60 letters, "
                        "digits and underscores; default: the settings' prefix")
        ->type_name("PREFIX");
    recover->add_option("--keep", context.recover->keep,
                        "With --save: the file types to keep, comma-separated extensions; the files of other types "
                        "are deleted. Default: all")
        ->delimiter(',')
        ->type_name("TYPE");
    recover->add_option("--names", context.recover->names,
                        "With --save: camera (default) saves the files under the names the card's file system "
                        "still knows (the others by the prefix); prefix names every file by the prefix")
        ->check(CLI::IsMember({"camera", "prefix"}))
        ->type_name("camera|prefix");
    recover->add_flag("--thumbnails", context.recover->thumbnails,
                      "Make thumbnails of the found files while scanning, as the wizard does");
    add(recover, [&context] { return CmdRecover(*context.recover); });

    context.settings = std::make_shared<SettingsOptions>();
    auto* settings = app.add_subcommand(
        "settings", "Print the settings (shared with the wizard), or change and save them");
    settings->add_option("--brand", context.settings->brands,
                         "Camera brands, comma-separated; the file types become their default types: " + brands)
        ->delimiter(',')
        ->type_name("BRAND");
    settings->add_option("--types", context.settings->types, "File types to search for, comma-separated: " + types)
        ->delimiter(',')
        ->type_name("TYPE");
    settings->add_option("--work", context.settings->workFolder,
                         "Work folder: each recovery makes its run folder in it; ~ is the home folder, "
                         "a relative path is taken from the current folder, a missing folder is made")
        ->type_name("FOLDER");
    settings->add_option("--save", context.settings->saveFolder,
                         "Save folder: where the wizard's Save Images step saves")
        ->type_name("FOLDER");
    settings->add_option("--max-size", context.settings->maxSize,
                         "Largest recovered file in bytes, 1 to 2147483647 (a longer file is cut there)")
        ->type_name("BYTES");
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
