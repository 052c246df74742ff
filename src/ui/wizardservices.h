#pragma once
// What the wizard asks of the desktop and of the user: the status line, message and
// confirmation boxes, opening files and addresses, playing a sound, choosing a folder or
// a file, the question before quitting, and the program's settings. The main window and
// every page get one services object at construction: the program's CDesktopServices
// shows real boxes and starts real programs; a test gives its own, which answers for the
// user and starts nothing.
#include <QPointer>
#include <QString>

#include "app/csettings.h"
#include "widgets/cpx3statusline.h"

class QWidget;

// The boxes the wizard shows; Box returns the QMessageBox button pressed.
enum class BoxKind {
    Message,       // OK
    Confirm,       // Yes, No and Cancel; Cancel is the default
    YesNo,         // Yes and No; Yes is the default
    SendFailed,    // a failed support request: OK, and "Save as text..." (answers Save)
    Warning,       // OK, on a warning box
};

// The answers of the question asked when the window closes while found files are not
// saved.
enum class QuitAnswer { SaveFirst, QuitAnyway, Cancel };

class CWizardServices {
public:
    explicit CWizardServices(CSettings& settings) : m_settings(settings) {}
    virtual ~CWizardServices() = default;
    CWizardServices(const CWizardServices&) = delete;
    CWizardServices& operator=(const CWizardServices&) = delete;

    CSettings& Settings() const { return m_settings; }
    // The status line SetStatusText writes to (the main window's); none before the
    // window makes it, so a page on its own shows its texts nowhere.
    void SetStatusLine(CPX3StatusLine* line) { m_statusLine = line; }
    void SetStatusText(const QString& text, bool error = false);

    virtual int Box(BoxKind kind, QWidget* parent, const QString& text, const QString& title) = 0;
    // A file or folder handed to the desktop's program for it; whether one was started.
    virtual bool OpenFile(const QString& path) = 0;
    // A web or mail address ("https://...", "mailto:...") in the browser or mailer.
    virtual bool OpenUrl(const QString& url) = 0;
    // Plays a sound file without waiting for it; whether a player was started.
    virtual bool PlaySound(const QString& path) = 0;
    // The folder the user chose, starting in start; empty when the user cancelled.
    virtual QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) = 0;
    // The file to save into, suggested first; empty when the user cancelled.
    virtual QString ChooseSaveFile(QWidget* parent, const QString& title, const QString& suggested,
                                   const QString& filter) = 0;
    // The question before quitting with text as its body.
    virtual QuitAnswer AskQuit(QWidget* parent, const QString& text) = 0;

    // A question with Yes and No: the button pressed.
    int AskYesNo(QWidget* parent, const QString& text, const QString& title) { return Box(BoxKind::YesNo, parent, text, title); }
    // When the desktop has no program to open a file of the program's (the manual, the
    // card report): the status line and a message box say so, and where the file is.
    void SayWhereFileIs(QWidget* parent, const QString& what, const QString& path);

private:
    CSettings& m_settings;
    QPointer<CPX3StatusLine> m_statusLine;
};

// The services of the running program: Qt's boxes and dialogs, the desktop's programs.
class CDesktopServices : public CWizardServices {
public:
    using CWizardServices::CWizardServices;

    int Box(BoxKind kind, QWidget* parent, const QString& text, const QString& title) override;
    bool OpenFile(const QString& path) override;
    bool OpenUrl(const QString& url) override;
    bool PlaySound(const QString& path) override;
    QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) override;
    QString ChooseSaveFile(QWidget* parent, const QString& title, const QString& suggested,
                           const QString& filter) override;
    QuitAnswer AskQuit(QWidget* parent, const QString& text) override;
};
