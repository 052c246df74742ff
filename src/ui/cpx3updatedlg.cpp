#include "ui/cpx3updatedlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>

#include "app/clogfile.h"
#include "ui/coretext.h"
#include "ui/pagekit.h"

namespace {

constexpr int kSubHeadingId = 1095, kInformationId = 1090, kLicenseId = 1092, kAgreeId = 1093;

constexpr const char* kUpToDate = QT_TRANSLATE_NOOP("CPX3UpdateDlg", "The software is up to date, no software update was found.");
constexpr const char* kCouldNotCheck = QT_TRANSLATE_NOOP("CPX3UpdateDlg", "Pixsalvo 3 could not check for a software update");

// The dialog's texts keep the CR LF line ends of their source; a text control shows
// plain line feeds.
QString Displayed(QString text)
{
    text.remove('\r');
    return text;
}

void SetTextOnce(QPlainTextEdit* edit, const QString& text)
{
    const QString shown = Displayed(text);
    if (edit->toPlainText() != shown)
        edit->setPlainText(shown);
}

QPlainTextEdit* ReadOnlyText(const QString& name, QWidget* parent)
{
    auto* edit = new QPlainTextEdit(parent);
    edit->setReadOnly(true);
    edit->setAccessibleName(name);
    edit->setStyleSheet("QPlainTextEdit { border: 1px solid #d9dee4; border-radius: 4px; background: #fbfcfd; }");
    return edit;
}

}  // namespace

CPX3UpdateDlg::CPX3UpdateDlg(const CPageContext& context, int32_t installedBuild, QWidget* parent,
                             const CSignatureCheck::PublicKey& releaseKey)
    : CFrmRoot(context, CStep{0, {}, tr("Software Update"), tr("Software Update"), {}}, parent),
      m_nInstalledBuild(installedBuild), m_update({}, releaseKey), m_subHeading(new QLabel(this)),
      m_infoLabel(FieldLabel(tr("Update Information:"), this)), m_info(ReadOnlyText(tr("Update Information:"), this)),
      m_licenseLabel(FieldLabel(tr("License:"), this)), m_license(ReadOnlyText(tr("License:"), this)),
      m_agree(new QCheckBox(tr("I agree with  license terms and conditions"), this)),
      m_start(RoundButton(tr("Update"), tr("Download and install the new software update"), this)),
      m_cancel(PageButton(tr("Cancel"), this)), m_close(PageButton(tr("Close"), this)), m_status(new QLabel(this))
{
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(tr("Software Update"));
    setWindowModality(Qt::ApplicationModal);
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    resize(560, 540);
    m_heading->setWordWrap(true);
    m_subHeading->setWordWrap(true);
    m_agree->setAccessibleName(m_agree->text());
    m_status->setAccessibleName(tr("Status"));
    m_status->setWordWrap(true);
    // Enter presses nothing here, nor does Escape while the dialog waits for the user
    // (see keyPressEvent).
    for (QPushButton* button : {m_start, m_cancel, m_close}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    MakeProgress();
    AddControl(kSubHeadingId, m_subHeading);
    AddControl(kInformationId, m_info);
    AddControl(kLicenseId, m_license);
    AddControl(kAgreeId, m_agree);
    AddControl(ControlId::Start, m_start);
    AddControl(ControlId::Cancel, m_cancel);

    m_update.SetOpener([this](const std::string& path) { return Services().OpenFile(QString::fromStdString(path)); });
    connect(m_agree, &QCheckBox::clicked, this, [this] {
        m_bLicenseAccepted = m_agree->isChecked();
        CloseBalloon();
    });
    connect(m_start, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_cancel, &QPushButton::clicked, this, [this] {
        m_update.Cancel();
        RequestCancel();
    });
    connect(m_close, &QPushButton::clicked, this, [this] { Done(Closed); });
    connect(&m_timer, &QTimer::timeout, this, &CPX3UpdateDlg::OnTimer);
    m_timer.setInterval(100);
    RefreshControls();
}

CPX3UpdateDlg::~CPX3UpdateDlg()
{
    StopWorker();
    RestoreCursor();
    if (m_loop)
        m_loop->exit(m_result);
}

void CPX3UpdateDlg::Open()
{
    m_finished = false;
    if (QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr)
        move(owner->geometry().center() - rect().center());
    show();
    raise();
    activateWindow();
    OnPageShow();
    m_timer.start();
}

int CPX3UpdateDlg::Exec()
{
    Open();
    if (!m_finished) {
        QEventLoop loop;
        m_loop = &loop;
        loop.exec(QEventLoop::DialogExec);
    }
    return m_result;
}

bool CPX3UpdateDlg::Done(int result)
{
    StopWorker();
    RestoreCursor();
    m_progressShown.reset();
    m_run.reset();
    m_result = result;
    m_finished = true;
    m_timer.stop();
    OnPageHide();
    hide();
    if (m_loop)
        m_loop->exit(result);
    return true;
}

void CPX3UpdateDlg::OnPageShow()
{
    // A dialog of its own: the window's status line keeps its text until the check.
    CMFCPageDlg::OnPageShow();
    RefreshControls();
}

void CPX3UpdateDlg::OnTimer()
{
    if (m_bCheckStarted)
        return;
    m_bCheckStarted = true;
    StartCheck();
}

void CPX3UpdateDlg::RunOnWorker(Task task, std::function<bool(unsigned)> work, std::function<void(bool)> done)
{
    StopWorker();
    m_update.ClearCancel();
    m_task = task;
    const unsigned number = ++m_nTask;
    m_worker = std::jthread([this, number, work = std::move(work), done = std::move(done)] {
        const bool result = work(number);
        QMetaObject::invokeMethod(
            this,
            [this, number, result, done] {
                // A task cancelled by the end of the dialog, or replaced, has no say.
                if (number != m_nTask || m_task == Task::None)
                    return;
                m_task = Task::None;
                done(result);
            },
            Qt::QueuedConnection);
    });
}

void CPX3UpdateDlg::StopWorker()
{
    if (m_worker.joinable()) {
        m_update.Cancel();
        m_worker.join();
    }
    m_task = Task::None;
}

void CPX3UpdateDlg::RestoreCursor()
{
    if (m_bCursor)
        QApplication::restoreOverrideCursor();
    m_bCursor = false;
}

void CPX3UpdateDlg::StartCheck()
{
    // The busy cursor: the window still takes clicks and keys while the server answers.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    m_bCursor = true;
    SetStatus(tr("Checking for updates..."));
    SetHeading(tr("Checking with Tolvex Media, Inc. for software update"));
    const std::string server = CPX3Update::ConfiguredServer();
    RunOnWorker(Task::Check, [this, server](unsigned) { return m_update.Check(server); }, [this](bool checked) { OnCheckDone(checked); });
    RefreshControls();
}

void CPX3UpdateDlg::OnCheckDone(bool checked)
{
    m_bCheckedOnce = true;
    m_bCheckFailed = !checked;
    // "Up to date" only from a server that answered: a check without an answer says so.
    m_bUpdateAvailable = checked && m_nInstalledBuild < m_update.GetHighestBuild();
    if (!checked) {
        const QString reason = CoreText(m_update.GetError());
        Log().Outcome("-FAIL", "Update check ==> " + m_update.GetError());
        SetHeading(tr(kCouldNotCheck));
        m_subHeading->setText(reason);
        m_strLicense.clear();
        m_strUpdateInfo = tr(kCouldNotCheck) + ":\r\n" + reason;
        SetStatus(tr(kCouldNotCheck) + ": " + reason, true);
    } else if (m_bUpdateAvailable) {
        SetHeading(tr("Pixsalvo 3 has detected that a new software update is available"));
        m_subHeading->setText(tr("Please review information below and click the Update button to install."));
        m_strLicense = QString::fromStdString(m_update.LicenseText());
        m_strUpdateInfo = QString::fromStdString(m_update.UpdateInformation());
        SetStatus(HeadingText());
    } else {
        SetHeading(tr(kUpToDate));
        m_subHeading->clear();
        m_strLicense.clear();
        m_strUpdateInfo = tr(kUpToDate);
        SetStatus(HeadingText());
    }
    RefreshControls();
    RestoreCursor();
}

void CPX3UpdateDlg::RefreshControls()
{
    m_start->setEnabled(m_bUpdateAvailable && !JobRunning() && !Busy());
    m_close->setEnabled(!JobRunning());
    m_cancel->setEnabled(JobRunning() || Busy());
    m_agree->setChecked(m_bLicenseAccepted);
    SetTextOnce(m_info, m_strUpdateInfo);
    SetTextOnce(m_license, m_strLicense);
}

bool CPX3UpdateDlg::OnStart()
{
    if (JobRunning() || Busy())
        return false;
    m_bLicenseAccepted = m_agree->isChecked();
    if (!m_bLicenseAccepted) {
        ShowBalloon(m_agree, tr("Please review license agreement"), tr("Check this box after reading license agreement"));
        return false;
    }
    SetStatus(tr("Downloading updates..."));
    ResetPage();
    CloseBalloon();
    m_run.emplace();
    m_progressShown.emplace();
    RunOnWorker(
        Task::Download,
        [this](unsigned number) {
            return m_update.Fetch([this, number](int64_t done, int64_t total) {
                QMetaObject::invokeMethod(
                    this,
                    [this, number, done, total] {
                        if (number == m_nTask && m_progressShown)
                            m_progressShown->Report(done, total);
                    },
                    Qt::QueuedConnection);
            });
        },
        [this](bool fetched) { OnDownloadDone(fetched); });
    RefreshControls();
    return true;
}

void CPX3UpdateDlg::OnDownloadDone(bool fetched)
{
    m_progressShown.reset();
    // The unscrambling copy and the checksum run here: they hear the Cancel message.
    const bool started = fetched && !m_update.IsCancelled() && m_update.Install();
    m_run.reset();
    if (!started) {
        const QString error = m_update.GetError().empty() ? tr("Ftp Error: Aborted by user")
                                                           : CoreText(m_update.GetError());
        SetStatus(error, true);
        RefreshControls();
        return;
    }
    Done(UpdateStarted);
    SetStatus(tr("Ready to update..."));
}

QString CPX3UpdateDlg::HeadingText() const { return m_heading->text(); }

QString CPX3UpdateDlg::SubHeadingText() const { return m_subHeading->text(); }

QString CPX3UpdateDlg::StatusText() const { return m_status->text(); }

void CPX3UpdateDlg::SetStatus(const QString& text, bool error)
{
    m_bStatusError = error;
    m_status->setText(Displayed(text));
    QPalette palette = m_status->palette();
    palette.setColor(QPalette::WindowText, error ? QColor(0xb0, 0x20, 0x20) : PageColour::Muted);
    m_status->setPalette(palette);
    SetStatusText(text, error);
}

void CPX3UpdateDlg::keyPressEvent(QKeyEvent* event)
{
    event->accept();
    // The program's Quit key ends whatever runs, and the program after the dialog. Ctrl+Q
    // also where the desktop's key scheme has no Quit key (the program's menu shows it).
    if (event->matches(QKeySequence::Quit) || (event->key() == Qt::Key_Q && event->modifiers() == Qt::ControlModifier)) {
        Done(QuitRequested);
        return;
    }
    // Escape ends a check (there is nothing to show yet) and cancels a download; while
    // the dialog waits for the user, Enter and Escape neither press a button nor close it.
    switch (event->key()) {
    case Qt::Key_Escape:
        if (m_task == Task::Check)
            Done(Closed);
        else if (m_task == Task::Download)
            m_cancel->click();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return;
    default:
        CFrmRoot::keyPressEvent(event);
    }
}

void CPX3UpdateDlg::closeEvent(QCloseEvent* event)
{
    if (!m_finished)
        Done(Closed);
    event->accept();
}

void CPX3UpdateDlg::resizeEvent(QResizeEvent*)
{
    constexpr int kSide = 16;
    const int w = width(), h = height();
    m_subHeading->setGeometry(kSide, 58, w - 2 * kSide, 34);
    m_infoLabel->setGeometry(kSide, 96, w - 2 * kSide, 18);
    m_info->setGeometry(kSide, 116, w - 2 * kSide, 132);
    m_licenseLabel->setGeometry(kSide, 256, w - 2 * kSide, 18);
    m_license->setGeometry(kSide, 276, w - 2 * kSide, 122);
    m_agree->setGeometry(kSide, 404, w - 2 * kSide, 22);
    m_progress->setGeometry(kSide, h - 106, w - 2 * kSide, 18);
    m_progressText->setGeometry(kSide, h - 86, w - 2 * kSide, 16);
    m_status->setGeometry(kSide, h - 68, w - 2 * kSide, 28);
    m_start->setGeometry(w - kSide - 292, h - 36, 96, 24);
    m_cancel->setGeometry(w - kSide - 188, h - 36, 92, 24);
    m_close->setGeometry(w - kSide - 92, h - 36, 92, 24);
}
