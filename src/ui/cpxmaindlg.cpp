#include "ui/cpxmaindlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

#include "app/clogfile.h"
#include "platform/volumetable.h"
#include "recovery/cfoundfiles.h"
#include "ui/caboutdlg.h"
#include "ui/cbackupcard.h"
#include "services/cpx3update.h"
#include "ui/cfrmburnimages.h"
#include "ui/cfrmcardinfo.h"
#include "ui/cfrmfiletypes.h"
#include "ui/cfrmfindimages.h"
#include "ui/cfrmpreviewimages.h"
#include "ui/cfrmsaveimages.h"
#include "ui/cfrmselectcard.h"
#include "ui/cfrmtoolpages.h"
#include "ui/coretext.h"
#include "ui/cpx3updatedlg.h"
#include "ui/csplashdlg.h"
#include "ui/pagekit.h"
#include "widgets/background.h"

namespace {

// The layout in pixels (client coordinates): the menu's column is 165 wide, the bars and
// the page area start at 167 and keep 4 from the right edge; the bottom 94 pixels hold
// the buttons (30) and the status line (64).
constexpr int kMenuLeft = 5, kMenuRight = 165, kPageLeft = 167, kRightMargin = 4;
constexpr int kBarTop = 8, kRecoveryBarBottom = 98, kToolsBarBottom = 128;
constexpr int kBottomArea = 94, kStatusHeight = 64, kStatusLeft = 166;
// The background sets the client area; without it, the dialog's 462 x 284 dialog units.
constexpr int kDefaultWidth = 693, kDefaultHeight = 462;
// How long the viewer gets to close before the window does.
constexpr int kCloseViewerMs = 500;
// Thumbnails kept in memory (94 x 78 at 16 bits: 14.7 KB each, so about 30 MB): many
// screens of the grid, whatever the number of files found. A HiDPI screen's thumbnails
// have four times the pixels: a quarter as many of them are kept.
constexpr size_t kThumbnailsKept = 2000;

// What a button of the quit question answers, kept on the button.
constexpr const char* kAnswerProperty = "quitAnswer";

// The bytes of every found file.
uint64_t FoundSize(const CThumbList& thumbs)
{
    uint64_t total = 0;
    for (size_t i = 0; i < thumbs.GetCount(); ++i)
        if (const CThumb* thumb = thumbs.GetAt(i))
            total += thumb->GetSize();
    return total;
}

// The program's icon: the desktop's icon theme when the program is installed, else the
// icons painted beside the skin in the build tree (or the installed theme folder next to
// the program's data), at every size there is.
QIcon ProgramIcon(const std::string& skinFolder)
{
    QIcon icon = QIcon::fromTheme("pixsalvo3");
    if (!icon.isNull())
        return icon;
    const QDir skin(QString::fromStdString(skinFolder));
    for (const QString& root : {skin.filePath("../icons"), skin.filePath("../../icons/hicolor")})
        for (int size : {16, 24, 32, 48, 64, 128, 256}) {
            const QString file = QString("%1/%2x%2/apps/pixsalvo3.png").arg(root).arg(size);
            if (QFile::exists(file))
                icon.addFile(file, QSize(size, size));
        }
    return icon;
}

std::unique_ptr<CFrmRoot> MakePage(const CPageContext& context, const CStep& step, CThumbList* thumbs, QWidget* parent)
{
    switch (step.Step) {
    case Steps::SelectCard:
        return std::make_unique<CFrmSelectCard>(context, step, parent);
    case Steps::FileTypes:
        return std::make_unique<CFrmFileTypes>(context, step, parent);
    case Steps::FindImages:
        return std::make_unique<CFrmFindImages>(context, step, thumbs, parent);
    case Steps::PreviewImages:
        return std::make_unique<CFrmPreviewImages>(context, step, thumbs, parent);
    case Steps::SaveImages:
        return std::make_unique<CFrmSaveImages>(context, step, parent);
    case Steps::BurnImages:
        return std::make_unique<CFrmBurnImages>(context, step, parent);
    case Steps::TestCard:
        return std::make_unique<CFrmToolCardTest>(context, step, parent);
    case Steps::FormatCard:
        return std::make_unique<CFrmToolFormat>(context, step, parent);
    case Steps::EraseCard:
        return std::make_unique<CFrmToolWipe>(context, step, parent);
    case Steps::Support:
        return std::make_unique<CFrmCardInfo>(context, step, parent);
    default:
        return std::make_unique<CFrmRoot>(context, step, parent);
    }
}

}  // namespace

CPXMainDlg::CPXMainDlg(CWizardServices& services, QWidget* parent)
    : QDialog(parent), m_services(services), m_settings(services.Settings())
{
    SetUpWindow();
    OpenDocument();
    MakeBars();
    SizeToSkin();
    MakeFoundList();
    MakePages();
    MakeStatusLine();
    MakeButtons();
    MakeProgramMenu();
    ConnectSupportPage();
    LayOut();
    ShowStep(Steps::SelectCard);
    ListenToBus();
    // The splash over the window while it opens (from the event loop, once it shows).
    QTimer::singleShot(0, this,
                       [this] { CSplashDlg::Show(QString::fromStdString(m_settings.SkinFile(SkinPictureId::Splash)), this); });
    StartCardNotices();
    RefreshControls();
}

void CPXMainDlg::SetUpWindow()
{
    setWindowTitle(tr("Pixsalvo 3"));
    setAccessibleName(tr("Pixsalvo 3"));
    // The program's icon for this window and every window it opens (the picture window).
    QApplication::setWindowIcon(ProgramIcon(m_settings.GetSkinFolder()));
    setWindowIcon(QApplication::windowIcon());
}

void CPXMainDlg::OpenDocument()
{
    m_doc.Settings() = m_settings.Record();
    Bus().AddListener("CDriveDoc", &m_doc);
    m_doc.Reload();
}

void CPXMainDlg::MakeBars()
{
    m_toolsBar = new CTopListBarDlg(m_doc, m_bus, QString::fromStdString(m_settings.SkinFile(SkinPictureId::TopToolBg)), this);
    m_recoveryBar = new CTopInfoBar(QString::fromStdString(m_settings.SkinFile(SkinPictureId::TopInfoBg)), this);
    m_menu = new CMenuPanel(this);
    m_menu->setGeometry(kMenuLeft, kMenuLeft, kMenuRight - kMenuLeft, 363);
    connect(m_menu, &CMenuPanel::Command, this, &CPXMainDlg::OnMenuCommand);
}

void CPXMainDlg::SizeToSkin()
{
    m_background = LoadSkinPicture(QString::fromStdString(m_settings.SkinFile(SkinPictureId::BkSkin)));
    // The skin's size is the smallest the window gets; it may grow and be maximised.
    const QSize smallest = m_background.isNull() ? QSize(kDefaultWidth, kDefaultHeight) : LogicalSize(m_background);
    setMinimumSize(smallest);
    resize(smallest);
    setSizeGripEnabled(false);
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint);
    SetRecoveryMenu(true);
}

void CPXMainDlg::MakeFoundList()
{
    auto found = std::make_unique<CFoundFiles>();
    found->Thumbs().SetPlaceholders({m_settings.SkinFile(SkinPictureId::VideoImg), m_settings.SkinFile(SkinPictureId::AudioImg),
                                     m_settings.SkinFile(SkinPictureId::NoImg)});
    found->Thumbs().SetCacheLimit(devicePixelRatioF() > 1.0 ? kThumbnailsKept / 4 : kThumbnailsKept);
    m_found = found.get();
    m_doc.SetFoundList(std::move(found));
}

void CPXMainDlg::MakePages()
{
    const CPageContext context{m_doc, m_bus, m_services};
    for (const CStep& step : StepTable()) {
        m_ownedPages.push_back(MakePage(context, step, &m_found->Thumbs(), this));
        m_ownedPages.back()->SetCardAnchor(m_toolsBar->CardList());
        m_pages.Add(m_ownedPages.back().get());
    }
    static const CStep kDefaultStep{Steps::Default, {}, {}, {}, {}};
    m_ownedPages.push_back(std::make_unique<CFrmRoot>(context, kDefaultStep, this));
    m_pages.Add(m_ownedPages.back().get());
    for (int step = Steps::SelectCard; step < Steps::BurnImages; ++step) {
        m_pages.Page(step)->SetNext(m_pages.Page(step + 1));
        m_pages.Page(step + 1)->SetPrevious(m_pages.Page(step));
    }
}

void CPXMainDlg::MakeStatusLine()
{
    // Plain text on "StatusLine_B.jpg" (the "StatLineR" picture), errors on "StatusLine_Y.jpg".
    m_status = new CPX3StatusLine(QString::fromStdString(m_settings.SkinFile(SkinPictureId::StatLineR)),
                                  QString::fromStdString(m_settings.SkinFile(SkinPictureId::StatLineW)), this);
    m_services.SetStatusLine(m_status);
}

void CPXMainDlg::MakeButtons()
{
    m_continue = RoundButton(tr("&Continue"), tr("Go to the next step"), this);
    m_back = RoundButton(tr("Go &Back"), tr("Go to the previous step"), this);
    // Alt+U: Alt+S belongs to the pages' Start and Save.
    m_support = RoundButton(tr("S&upport"), tr("Go to the Support page"), this);
    connect(m_continue, &QPushButton::clicked, this, &CPXMainDlg::OnContinue);
    connect(m_back, &QPushButton::clicked, this, &CPXMainDlg::OnBack);
    connect(m_support, &QPushButton::clicked, this, &CPXMainDlg::OnSupport);
}

void CPXMainDlg::MakeProgramMenu()
{
    // A push button that pops its menu up: a click, Space and the accessibility press
    // action all open it, and none waits for the menu to close.
    m_programMenu = new QPushButton(tr("Menu"), this);
    m_programMenu->setAccessibleName(tr("Menu"));
    m_programMenu->setAccessibleDescription(tr("Help, card images, updates, About and Quit"));
    m_programMenu->setCursor(Qt::PointingHandCursor);
    m_programMenu->setStyleSheet(
        "QPushButton { background: transparent; color: white; border: 1px solid rgba(255, 255, 255, 90);"
        " border-radius: 11px; padding: 3px 12px; }"
        "QPushButton:hover, QPushButton:focus { background: rgba(255, 255, 255, 25); }"
        "QPushButton:disabled { color: rgba(255, 255, 255, 90); border-color: rgba(255, 255, 255, 35); }");
    auto* menu = new QMenu(m_programMenu);
    // Each entry runs from the event loop, after the menu (or the accessibility client
    // that pressed the entry) has its answer: the dialogs they open wait for the user.
    const auto add = [this, menu](const QString& text, auto handler) {
        QAction* action = menu->addAction(text);
        connect(action, &QAction::triggered, this, handler, Qt::QueuedConnection);
        return action;
    };
    add(tr("&Help"), [this] { OpenHelp(); })->setShortcut(QKeySequence::HelpContents);
    add(tr("Attach card image..."), [this] { AttachCardImage(); });
    add(tr("Back Up Card to Image..."), [this] {
        if (!JobRunning())
            BackUpCardToImage(m_doc, m_services, this);
    });
    add(tr("&Check for Update..."), [this] { CheckForUpdate(); });
    add(tr("&About Pixsalvo 3..."), [this] {
        if (!JobRunning())
            CAboutDlg(QApplication::applicationVersion(), this).exec();
    });
    menu->addSeparator();
    add(tr("&Quit"), [this] { close(); })->setShortcut(QKeySequence::Quit);
    connect(m_programMenu, &QPushButton::clicked, menu, [this, menu] {
        menu->popup(m_programMenu->mapToGlobal(QPoint(0, -menu->sizeHint().height())));
    });
    addActions(menu->actions());
}

void CPXMainDlg::ConnectSupportPage()
{
    if (auto* support = dynamic_cast<CFrmCardInfo*>(Page(Steps::Support))) {
        connect(support, &CFrmCardInfo::ViewManual, this, &CPXMainDlg::OpenHelp);
        connect(support, &CFrmCardInfo::CheckForUpdate, this, &CPXMainDlg::CheckForUpdate);
    }
}

CPXMainDlg::~CPXMainDlg()
{
    Bus().RemoveListener(&m_doc);
    m_cardTimer.stop();
    m_watcher.Stop();
    m_services.SetStatusLine(nullptr);
    // Files found and not saved do not outlive the window.
    m_doc.CleanFoundFiles();
    m_settings.Record() = m_doc.Settings();
}

void CPXMainDlg::StartCardNotices()
{
    Log().BeginScope("ShellSubscription");
    Log().Outcome(m_watcher.StartNotices() ? "-OK" : "-FAIL", "Subscribe");
    if (m_watcher.NeedsListener()) {
        Log().BeginScope("Running Listener");
        Log().Outcome(m_watcher.StartListener() ? "-OK" : "-FAIL", "Run Listener");
    }
    connect(&m_cardTimer, &QTimer::timeout, this, [this] { m_watcher.OnTimer(m_doc, JobRunning()); });
    m_cardTimer.start(500);
}

void CPXMainDlg::OpenHelp()
{
    if (JobRunning())
        return;
    const QString manual = QString::fromStdString(m_settings.GetHelpFile());
    if (!m_services.OpenFile(manual))
        m_services.SayWhereFileIs(this, tr("the manual"), manual);
}

void CPXMainDlg::CheckForUpdate()
{
    if (JobRunning())
        return;
    CPX3UpdateDlg dialog(CPageContext{m_doc, m_bus, m_services}, InstalledBuildNumber(), this);
    // The installer replaces the program: the window closes once it was started. The
    // Quit key pressed in the dialog quits the program as it does in the window.
    const int result = dialog.Exec();
    if (result == CPX3UpdateDlg::UpdateStarted)
        done(1);
    else if (result == CPX3UpdateDlg::QuitRequested)
        close();
}

void CPXMainDlg::AttachCardImage()
{
    if (JobRunning())
        return;
    const QString file = QFileDialog::getOpenFileName(this, tr("Attach card image"), QString(), tr("Card images (*.img *.bin *.dd);;All files (*)"));
    if (file.isEmpty())
        return;
    std::string error;
    if (!px::VolumeTable::Instance().Attach(file.toStdString(), nullptr, &error))
        m_services.SetStatusText(CoreText(error), true);
    m_doc.Reload();
}

void CPXMainDlg::SetRecoveryMenu(bool recovery)
{
    m_recoveryMenu = recovery;
    const SkinPicture& pictures = SkinPictureRow(recovery ? SkinPictureId::RecoverSkin : SkinPictureId::ToolSkin);
    m_menu->SetMenu(recovery ? RecoveryMenu() : ToolsMenu(),
                    QString::fromStdString(m_settings.GetSkinFolder() + pictures.File));
    m_menu->update();
}

void CPXMainDlg::LayOut()
{
    const QRect c = rect();
    const bool recovery = Steps::IsRecovery(m_step == 0 ? Steps::SelectCard : m_step);
    const int barBottom = recovery ? kRecoveryBarBottom : kToolsBarBottom;
    m_recoveryBar->setGeometry(QRect(QPoint(c.left() + kPageLeft, c.top() + kBarTop),
                                     QPoint(c.right() - kRightMargin, c.top() + kRecoveryBarBottom)));
    m_toolsBar->setGeometry(QRect(QPoint(c.left() + kPageLeft, c.top() + kBarTop),
                                  QPoint(c.right() - kRightMargin, c.top() + kToolsBarBottom)));
    m_pages.SetArea(QRect(QPoint(c.left() + kPageLeft, c.top() + barBottom - 1),
                          QPoint(c.right() - kRightMargin, c.bottom() - kBottomArea)));
    m_menu->setGeometry(QRect(QPoint(c.left() + kMenuLeft, c.top() + kMenuLeft),
                              QPoint(c.left() + kMenuRight, c.bottom() - kBottomArea)));
    m_status->setGeometry(QRect(QPoint(c.left() + kStatusLeft, c.bottom() - kStatusHeight), c.bottomRight()));
    // Buttons: Back and Continue at the page area's bottom right, Support under the menu.
    const int buttonTop = c.bottom() - kBottomArea + 4;
    m_continue->setGeometry(c.right() - kRightMargin - 90, buttonTop, 88, 22);
    m_back->setGeometry(c.right() - kRightMargin - 186, buttonTop, 88, 22);
    m_support->setGeometry(20, c.bottom() - 41, 132, 23);
    m_programMenu->setGeometry(20, c.bottom() - 76, 132, 23);
}

void CPXMainDlg::resizeEvent(QResizeEvent*) { LayOut(); }

void CPXMainDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    if (m_background.isNull() || size() == LogicalSize(m_background)) {
        DrawBackground(p, rect(), m_background, QColor(0xf4, 0xf5, 0xf7));
        return;
    }
    // A grown window: the menu's column keeps its width and the button band its height;
    // the rest of the skin stretches (it is even in the directions it stretches in).
    const QSize skin = LogicalSize(m_background);
    const int splitX = kPageLeft - 1, splitY = skin.height() - kBottomArea;
    const int right = width() - splitX, top = height() - kBottomArea;
    // Source rectangles in the picture's own pixels (twice the window's on a HiDPI skin).
    const qreal ratio = m_background.devicePixelRatio();
    const auto source = [ratio](int x, int y, int w, int h) { return QRectF(x * ratio, y * ratio, w * ratio, h * ratio); };
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.drawImage(QRectF(0, 0, splitX, top), m_background, source(0, 0, splitX, splitY));
    p.drawImage(QRectF(0, top, splitX, kBottomArea), m_background, source(0, splitY, splitX, kBottomArea));
    p.drawImage(QRectF(splitX, 0, right, top), m_background, source(splitX, 0, skin.width() - splitX, splitY));
    p.drawImage(QRectF(splitX, top, right, kBottomArea), m_background,
                source(splitX, splitY, skin.width() - splitX, kBottomArea));
}

void CPXMainDlg::ShowStep(int step)
{
    const int previous = m_pages.Current() ? m_pages.Current()->Step() : -1;
    if (!m_pages.Page(step))
        return;
    const bool groupChanged = m_step == 0 || Steps::IsRecovery(step) != Steps::IsRecovery(m_step);
    m_menu->SelectCommand(step);
    if (const CStep* s = FindStep(step)) {
        for (CTopTitleBar* bar : {m_recoveryBar->TitleBar(), m_toolsBar->TitleBar()})
            bar->SetStep(s->Number, s->Title);
        if (step == Steps::SelectCard)
            m_recoveryBar->TitleBar()->SetPicture(QString::fromStdString(m_settings.SkinFile(SkinPictureId::TopBlue)));
        if (step == Steps::TestCard)
            m_toolsBar->TitleBar()->SetPicture(QString::fromStdString(m_settings.SkinFile(SkinPictureId::TopYellow)));
    }
    m_step = step;
    LayOut();
    m_pages.SetCurrent(step);
    m_previousStep = previous;
    if (groupChanged) {
        const bool recovery = Steps::IsRecovery(step);
        m_recoveryBar->setVisible(recovery);
        m_toolsBar->setVisible(!recovery);
        if (!recovery)
            m_toolsBar->FillCards();
    }
    RefreshControls();
    m_bus.SayPageChanged(step, previous);
}

void CPXMainDlg::RefreshControls()
{
    CMFCPageDlg* page = m_pages.Current();
    const bool recovery = Steps::IsRecovery(m_step);
    m_continue->setEnabled(!JobRunning() && page && page->Next());
    m_back->setEnabled(!JobRunning() && page && page->Previous());
    m_continue->setVisible(recovery);
    m_back->setVisible(recovery);
    m_support->setEnabled(!JobRunning());
    m_menu->setEnabled(!JobRunning());
    m_programMenu->setEnabled(!JobRunning());
}

void CPXMainDlg::OnContinue()
{
    auto* page = dynamic_cast<CFrmRoot*>(m_pages.Current());
    if (JobRunning() || !page || !page->Next() || !page->CanContinue())
        return;
    ShowStep(page->Next()->Step());
}

void CPXMainDlg::OnBack()
{
    auto* page = dynamic_cast<CFrmRoot*>(m_pages.Current());
    if (JobRunning() || !page || !page->CanGoBack() || !page->Previous())
        return;
    ShowStep(page->Previous()->Step());
}

void CPXMainDlg::OnSupport()
{
    if (JobRunning())
        return;
    setUpdatesEnabled(false);
    if (Steps::IsRecovery(m_step))
        SetRecoveryMenu(false);
    if (m_step != Steps::Support)
        ShowStep(Steps::Support);
    setUpdatesEnabled(true);
}

void CPXMainDlg::OnMenuCommand(int command)
{
    if (JobRunning())
        return;
    if (command == Steps::StartRecovery) {
        SetRecoveryMenu(true);
        ShowStep(Steps::SelectCard);
    } else if (command == Steps::ViewAllTools) {
        SetRecoveryMenu(false);
        ShowStep(Steps::TestCard);
    } else if (command >= Steps::TestCard && command <= Steps::Support) {
        ShowStep(command);
    } else if (command >= Steps::SelectCard && command <= Steps::BurnImages) {
        // Forward one step at most, through the current page's check; back directly.
        if (command > m_step)
            OnContinue();
        else if (command < m_step)
            ShowStep(command);
    }
}

void CPXMainDlg::ListenToBus()
{
    // After the pages, as the window always had the bus's messages after them.
    connect(&m_bus, &CWizardBus::pageRequested, this, &CPXMainDlg::ShowStep);
    connect(&m_bus, &CWizardBus::delivered, this, &CPXMainDlg::RefreshControls);
}

void CPXMainDlg::keyPressEvent(QKeyEvent* event)
{
    // Escape never closes the window; Enter anywhere is Continue.
    if (event->key() == Qt::Key_Escape)
        return;
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        OnContinue();
        return;
    }
    QDialog::keyPressEvent(event);
}

std::unique_ptr<QMessageBox> CPXMainDlg::MakeQuitQuestion(const QString& text, QWidget* parent)
{
    auto box = std::make_unique<QMessageBox>(QMessageBox::Warning, tr(QuitTitle), text, QMessageBox::NoButton, parent);
    box->setAccessibleName(tr(QuitTitle));
    box->setAccessibleDescription(text);
    const auto add = [&box](const QString& label, QMessageBox::ButtonRole role, QuitAnswer answer) {
        QPushButton* button = box->addButton(label, role);
        button->setAccessibleName(label);
        button->setProperty(kAnswerProperty, int(answer));
        return button;
    };
    QPushButton* save = add(tr("Save first"), QMessageBox::AcceptRole, QuitAnswer::SaveFirst);
    add(tr("Quit anyway"), QMessageBox::DestructiveRole, QuitAnswer::QuitAnyway);
    QPushButton* cancel = add(tr("Cancel"), QMessageBox::RejectRole, QuitAnswer::Cancel);
    box->setDefaultButton(save);
    box->setEscapeButton(cancel);
    return box;
}

CPXMainDlg::QuitAnswer CPXMainDlg::AnswerOf(const QMessageBox& box)
{
    const QAbstractButton* pressed = box.clickedButton();
    bool known = false;
    const int answer = pressed ? pressed->property(kAnswerProperty).toInt(&known) : 0;
    return known ? QuitAnswer(answer) : QuitAnswer::Cancel;
}

QString CPXMainDlg::UnsavedFilesText() const
{
    // A save empties the list: whatever it still holds was not saved.
    const CFoundList* found = m_doc.FoundList();
    const size_t count = found ? found->GetCount() : 0;
    if (count == 0)
        return {};
    const size_t kept = found->CountKept();
    const QString size = SizeQText(FoundSize(m_found->Thumbs()));
    QString text = count == 1 ? tr("1 recovered file (%1) is not saved yet").arg(size)
                              : tr("%1 recovered files (%2) are not saved yet").arg(count).arg(size);
    if (kept < count)
        text += kept == 1 ? tr("; %1 of them is marked to keep").arg(kept) : tr("; %1 of them are marked to keep").arg(kept);
    return text + tr(".\n\nQuitting now deletes them. If the card is failing, they may be the only copy left.");
}

void CPXMainDlg::closeEvent(QCloseEvent* event)
{
    // The viewer had its time: the files found and not saved go with the window.
    if (m_viewerClosed) {
        m_doc.CleanFoundFiles();
        event->accept();
        return;
    }
    // A running job keeps the window; so does the question while it waits for its answer,
    // and the wait for the viewer.
    if (JobRunning() || m_askingToQuit || m_closing) {
        event->ignore();
        return;
    }
    const QString unsaved = UnsavedFilesText();
    if (!unsaved.isEmpty()) {
        m_askingToQuit = true;
        const QuitAnswer answer = m_services.AskQuit(this, unsaved);
        m_askingToQuit = false;
        if (answer != QuitAnswer::QuitAnyway) {
            event->ignore();
            if (answer == QuitAnswer::SaveFirst)
                ShowSavePage();
            return;
        }
    }
    m_bus.CloseViewer();
    // The viewer gets its time to let the files go while the window keeps painting; it
    // takes no input meanwhile.
    m_closing = true;
    setEnabled(false);
    event->ignore();
    QTimer::singleShot(kCloseViewerMs, this, [this] {
        m_viewerClosed = true;
        close();
    });
}

void CPXMainDlg::ShowSavePage()
{
    if (!m_recoveryMenu)
        SetRecoveryMenu(true);
    if (m_step != Steps::SaveImages)
        ShowStep(Steps::SaveImages);
    if (auto* save = dynamic_cast<CFrmSaveImages*>(Page(Steps::SaveImages)))
        save->SaveButton()->setFocus(Qt::OtherFocusReason);
}
