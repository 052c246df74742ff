// px3: the command-line front end over the card core.
#include <CLI/CLI.hpp>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "platform/volumetable.h"

int main(int argc, char** argv)
{
    // A file that outgrows the size limit fails its write (EFBIG) and the run reports it,
    // instead of the process being killed with the file half written.
    std::signal(SIGXFSZ, SIG_IGN);
    CLI::App app{"Pixsalvo 3: recover pictures from camera memory cards, test, format, erase and back up cards."};
    app.require_subcommand(1);
    app.footer("Exit status: 0 done; 1 the job failed (px3 test: some blocks could not be read); 2 bad "
               "arguments or no usable card, nothing done; 3 px3 recover or px3 backup went to the end but some "
               "blocks could not be read (they count as zeros); 130 cancelled with Ctrl-C.\n"
               "Environment: PX3_CARDS=\"E=/path/card.img;F=/path/other.img\" attaches card images as --card "
               "does.\n"
               "The manual: man px3.");
    std::vector<std::string> cards;
    app.add_option("--card", cards,
                   "Attach a card image as an emulated card reader (repeatable): IMAGE is "
                   "[LETTER=]PATH[,option...] (LETTER B to Y, else the first free one from D; a comma in PATH "
                   "is written twice). Options: bad=FIRST-LAST, readonly, empty, pull=N, short, slow=MS, "
                   "failslow=MS, recovered=FIRST-LAST, garbage, rate=MBPS, reader=VENDOR/PRODUCT/REV, fake=SIZE, "
                   "fakedrop=SIZE, map=PATH (a backup's map; IMAGE.map is read when there is one), nomap")
        ->type_name("IMAGE");

    px3cli::Context context;
    px3cli::RegisterCommands(app, context);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help exits 0; every argument that cannot be parsed is a usage error (exit
        // status 2, as the footer says), whatever CLI11's own code for it.
        return app.exit(e) == 0 ? 0 : 2;
    }

    std::string error;
    auto& table = px::VolumeTable::Instance();
    // A bad entry of PX3_CARDS is reported; the command still runs with the cards that
    // could be attached.
    std::vector<std::string> problems;
    table.AttachFromEnvironment(&problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "px3: %s\n", problem.c_str());
    for (const std::string& image : cards) {
        if (!table.Attach(image, nullptr, &error)) {
            std::fprintf(stderr, "px3: %s\n", error.c_str());
            return 2;
        }
    }
    return px3cli::RunSelected(app, context);
}
