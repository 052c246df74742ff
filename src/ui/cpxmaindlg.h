#pragma once
// The main window: the picture menu on the left, the step's top bar, the page area, the
// status line and the navigation buttons. It owns the card document that every page
// shares and the wizard's listener on the bus (jobs starting and ending, pages asked for),
// and reloads the card list when cards come and go. Closing it while found files are not
// saved asks first.
#include <QDialog>
#include <QImage>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <memory>

#include "app/csettings.h"
#include "device/cdevicewatcher.h"
#include "device/cdrivedoc.h"
#include "ui/cfrmroot.h"
#include "ui/cwizardbus.h"
#include "ui/wizardservices.h"
#include "ui/ctopbars.h"
#include "widgets/cmenupanel.h"
#include "widgets/cpx3statusline.h"

class CFoundFiles;

class CPXMainDlg : public QDialog {
    Q_OBJECT
public:
    // services: the settings, the boxes and the desktop's programs of the window and its
    // pages; the status line the window makes is theirs until the window goes.
    explicit CPXMainDlg(CWizardServices& services, QWidget* parent = nullptr);
    ~CPXMainDlg() override;

    // Switches the page area to the step (a step without a page is ignored).
    void ShowStep(int step);
    // A click in the picture menu.
    void OnMenuCommand(int command);
    void OnContinue();
    void OnBack();
    void OnSupport();
    // The manual in the desktop's browser (Help, F1, View Manual).
    void OpenHelp();
    // The update check's dialog; the window closes when it started an installer.
    void CheckForUpdate();

    int CurrentStep() const { return m_step; }
    bool JobRunning() const { return m_bus.JobRunning(); }
    CDriveDoc& Document() { return m_doc; }
    CMenuPanel* Menu() const { return m_menu; }
    CPX3StatusLine* StatusLine() const { return m_status; }
    QPushButton* ContinueButton() const { return m_continue; }
    QPushButton* BackButton() const { return m_back; }
    QPushButton* SupportButton() const { return m_support; }
    QPushButton* ProgramMenuButton() const { return m_programMenu; }
    CFrmRoot* Page(int step) const { return dynamic_cast<CFrmRoot*>(m_pages.Page(step)); }
    bool ShowsRecoveryMenu() const { return m_recoveryMenu; }

    // The question asked when the window closes (its close button, Quit, Ctrl+Q) while the
    // found list holds files that were not saved: closing deletes them, and the card they
    // came from may not give them back.
    using QuitAnswer = ::QuitAnswer;
    static constexpr const char* QuitTitle = QT_TR_NOOP("Files not saved");
    // The real box (the services ask with it): "Save first" (the default button), "Quit anyway" and "Cancel" (also
    // Escape and the box's own close button), each with its accessible name.
    static std::unique_ptr<QMessageBox> MakeQuitQuestion(const QString& text, QWidget* parent);
    // The button of such a box that was pressed; Cancel when none was.
    static QuitAnswer AnswerOf(const QMessageBox& box);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // The steps of the constructor, in the order it runs them.
    void SetUpWindow();         // title, accessible name and the program's icon
    void OpenDocument();        // the card document with the settings, drives read
    void MakeBars();            // the tools and recovery bars over the pages, the menu panel
    void SizeToSkin();          // the background picture sets the smallest size; recovery menu
    void MakeFoundList();       // the found list with its thumbnail placeholders and cache limit
    void ListenToBus();         // jobs starting and ending, pages asked for
    void MakePages();           // one page per step, the default page, Continue/Back links
    void MakeStatusLine();      // the status line, which the services write to
    void MakeButtons();         // Continue, Go Back and Support
    void MakeProgramMenu();     // the Menu button and its entries with their shortcuts
    void ConnectSupportPage();  // the Support page's manual and update requests

    void SetRecoveryMenu(bool recovery);
    void LayOut();
    void RefreshControls();
    void StartCardNotices();
    void AttachCardImage();
    // The question's text for the found files not saved; empty when there are none.
    QString UnsavedFilesText() const;
    // "Save first": the Save Images page, under the recovery menu, its Save button focused.
    void ShowSavePage();

    CWizardServices& m_services;
    CSettings& m_settings;
    QImage m_background;
    CMFCPageCtrl m_pages;
    CDriveDoc m_doc;
    // The wizard's one listener on the bus: after the document, before the pages it
    // reaches (they go before it).
    CWizardBus m_bus;
    // The document's found list, which the find and preview pages show.
    CFoundFiles* m_found = nullptr;
    int m_step = 0;
    int m_previousStep = 0;
    CTopInfoBar* m_recoveryBar = nullptr;
    CTopListBarDlg* m_toolsBar = nullptr;
    CMenuPanel* m_menu = nullptr;
    CPX3StatusLine* m_status = nullptr;
    QPushButton* m_continue = nullptr;
    QPushButton* m_back = nullptr;
    QPushButton* m_support = nullptr;
    QPushButton* m_programMenu = nullptr;
    CDeviceWatcher m_watcher;
    QTimer m_cardTimer;
    bool m_recoveryMenu = true;
    bool m_askingToQuit = false;
    // Closing: the viewer was told to close and the window waits for it (a timer, the
    // window disabled meanwhile); then the window closes for good.
    bool m_closing = false;
    bool m_viewerClosed = false;
    std::vector<std::unique_ptr<CFrmRoot>> m_ownedPages;
};
