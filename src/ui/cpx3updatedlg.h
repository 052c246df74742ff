#pragma once
// The "Software Update" dialog: a page of the page base run as a modal window. On its
// first timer tick it checks the update server; when a newer build is there it shows
// what the build brings and the licence, and Update (with the licence accepted)
// downloads the installer, verifies its release signature and starts it: the dialog then
// ends with UpdateStarted, after which the program closes so that the installer can
// replace it. A check that gets no answer says that it could not check, and why.
//
// The check and the download run on a worker thread, their results come back through
// the event loop, so the window answers all the while: closing the dialog, Escape and
// the program's Quit key (Ctrl+Q) end the check at once; during the download Escape
// cancels it, closing and Quit cancel it and end the dialog.
#include <optional>
#include <thread>

#include <QCheckBox>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

#include "services/cpx3update.h"
#include "ui/cfrmroot.h"

class CPX3UpdateDlg : public CFrmRoot {
    Q_OBJECT
public:
    // The dialog's results.
    static constexpr int Closed = 2;          // Close, or the window's close button
    static constexpr int UpdateStarted = 11;  // the installer was started
    static constexpr int QuitRequested = 12;  // the program's Quit key: the program closes

    // installedBuild: this program's build number (InstalledBuildNumber(), or another
    // for a test). parent: the window the dialog is centred on and modal for.
    // releaseKey: the key the installer's signature must verify under (a test's own).
    CPX3UpdateDlg(const CPageContext& context, int32_t installedBuild, QWidget* parent = nullptr,
                  const CSignatureCheck::PublicKey& releaseKey = CSignatureCheck::ReleaseKey);
    ~CPX3UpdateDlg() override;

    // Shows the dialog and returns when it ends: UpdateStarted or Closed.
    int Exec();
    // Shows the dialog and starts its timer without waiting (Exec's first half).
    void Open();
    // Ends the dialog with result. A running check or download is cancelled first and
    // waited for (a tenth of a second), and starts nothing.
    bool Done(int result);
    bool IsFinished() const { return m_finished; }
    int Result() const { return m_result; }

    // The Update button: the licence box first, then the download starts; false when it
    // did not start.
    bool OnStart();

    bool UpdateAvailable() const { return m_bUpdateAvailable; }
    // The check has its answer (an update, none, or that it could not check).
    bool CheckedOnce() const { return m_bCheckedOnce; }
    bool CheckFailed() const { return m_bCheckFailed; }
    // The check or the download runs on the worker thread.
    bool Busy() const { return m_task != Task::None; }
    // The texts as the dialog holds them (lines end in CR LF).
    const QString& UpdateInformation() const { return m_strUpdateInfo; }
    const QString& LicenseText() const { return m_strLicense; }
    QString HeadingText() const;
    QString SubHeadingText() const;
    // The dialog's status line and whether it shows an error.
    QString StatusText() const;
    bool StatusIsError() const { return m_bStatusError; }
    CPX3Update& Update() { return m_update; }

    QCheckBox* LicenseBox() const { return m_agree; }
    QPushButton* UpdateButton() const { return m_start; }
    QPushButton* CancelButton() const { return m_cancel; }
    QPushButton* CloseButton() const { return m_close; }
    QPlainTextEdit* InformationEdit() const { return m_info; }
    QPlainTextEdit* LicenseEdit() const { return m_license; }

protected:
    void RefreshControls() override;
    void OnPageShow() override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    enum class Task { None, Check, Download };

    // The check of the first timer tick.
    void OnTimer();
    void StartCheck();
    void OnCheckDone(bool checked);
    void OnDownloadDone(bool fetched);
    // Runs work (given the task's number) on the worker thread; its result comes back to
    // done on this thread, unless the task was cancelled or the dialog ended before.
    void RunOnWorker(Task task, std::function<bool(unsigned)> work, std::function<void(bool)> done);
    // Cancels the running task and waits for the worker to end.
    void StopWorker();
    void RestoreCursor();
    void SetStatus(const QString& text, bool error = false);

    int32_t m_nInstalledBuild;
    bool m_bUpdateAvailable = false;
    bool m_bLicenseAccepted = false;
    bool m_bCheckStarted = false;
    bool m_bCheckedOnce = false;
    bool m_bCheckFailed = false;
    bool m_bCursor = false;   // the busy cursor is set
    Task m_task = Task::None;
    unsigned m_nTask = 0;     // the number of the latest task: older results are dropped
    std::optional<CMsgRun> m_run;
    std::optional<CDownloadProgress> m_progressShown;
    std::jthread m_worker;
    QString m_strUpdateInfo;
    QString m_strLicense;
    CPX3Update m_update;

    QLabel* m_subHeading;
    QLabel* m_infoLabel;
    QPlainTextEdit* m_info;
    QLabel* m_licenseLabel;
    QPlainTextEdit* m_license;
    QCheckBox* m_agree;
    QPushButton* m_start;
    QPushButton* m_cancel;
    QPushButton* m_close;
    QLabel* m_status;
    bool m_bStatusError = false;
    QTimer m_timer;
    QPointer<QEventLoop> m_loop;
    bool m_finished = false;
    int m_result = Closed;
};
