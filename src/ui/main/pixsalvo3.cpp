// pixsalvo3: the wizard. Cards given in PX3_CARDS ("E=/a.img;F=/b.img") are attached as
// emulated card readers (one that cannot be attached is reported on stderr and in the log,
// the others are still attached); the jobs let the window repaint between their chunks.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/volumetable.h"
#include "ui/cpx3aapp.h"
#include "ui/cpxmaindlg.h"
#include "ui/translations.h"

namespace {

// --help and --version are answered before the window system is asked for: they work
// without a display and never open the window. Other arguments are left to Qt.
bool AnsweredWithoutWindow(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::printf("Usage: pixsalvo3 [--help] [--version]\n"
                        "The Pixsalvo 3 wizard: finds lost pictures on a memory card and saves them.\n"
                        "Card images named in PX3_CARDS (\"E=/a.img;F=/b.img\") are attached as card readers.\n"
                        "The command-line tool is px3.\n");
            return true;
        }
        if (arg == "--version" || arg == "-v") {
            std::printf("pixsalvo3 %s\n", PX3_VERSION);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (AnsweredWithoutWindow(argc, argv))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pixsalvo3");
    QApplication::setOrganizationName("Tolvex Media");
    QApplication::setApplicationVersion(PX3_VERSION);
    InstallTranslations(QLocale::system(), TranslationFolder());
    std::vector<std::string> problems;
    px::VolumeTable::Instance().AttachFromEnvironment(&problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "pixsalvo3: %s\n", problem.c_str());
    SetWizardMessagePump(true);

    CPX3AApp program;
    for (const std::string& problem : problems)
        program.AddStartNote(problem);
    CPX3AApp::Hooks hooks;
    // The start-up's own messages are translated; a reason that comes with one stays as
    // the lower layers word it.
    hooks.Message = [](const std::string& text) {
        QMessageBox::information(nullptr, QCoreApplication::translate("CPX3AApp", "Pixsalvo 3"),
                                 QCoreApplication::translate("CPX3AApp", text.c_str()));
    };
    hooks.RunMainWindow = [](CSettings& settings) {
        CDesktopServices services(settings);
        CPXMainDlg window(services);
        window.exec();
    };
    program.Run(hooks);
    SetWizardMessagePump(false);
    return 0;
}
