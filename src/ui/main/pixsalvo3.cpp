// pixsalvo3: the wizard. Cards given in PX3_CARDS ("E=/a.img;F=/b.img") are attached as
// emulated card readers; the jobs let the window repaint between their chunks.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/volumetable.h"
#include "ui/cpx3aapp.h"
#include "ui/cpxmaindlg.h"

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName("Pixsalvo3");
    QApplication::setOrganizationName("Tolvex Media");
    QApplication::setApplicationVersion(PX3_VERSION);
    std::vector<std::string> problems;
    px::VolumeTable::Instance().AttachFromEnvironment(&problems);
    for (const std::string& problem : problems)
        std::fprintf(stderr, "pixsalvo3: %s\n", problem.c_str());
    SetWizardMessagePump(true);

    CPX3AApp program;
    CPX3AApp::Hooks hooks;
    hooks.Message = [](const std::string& text) {
        QMessageBox::information(nullptr, "Pixsalvo 3", QString::fromStdString(text));
    };
    hooks.RunMainWindow = [](CSettings& settings) {
        CPXMainDlg window(settings);
        window.exec();
    };
    program.Run(hooks);
    SetWizardMessagePump(false);
    return 0;
}
