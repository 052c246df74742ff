#pragma once
// The "Software Update" dialog: a page of the page base run as a modal window. On its
// first timer tick it checks the update server; when a newer build is there it shows
// what the build brings and the licence, and Update (with the licence accepted)
// downloads the installer and starts it: the dialog then ends with UpdateStarted, after
// which the program closes so that the installer can replace it.
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

    // installedBuild: this program's build number (InstalledBuildNumber(), or another
    // for a test). parent: the window the dialog is centred on and modal for.
    CPX3UpdateDlg(CDriveDoc& doc, int32_t installedBuild, QWidget* parent = nullptr);
    ~CPX3UpdateDlg() override;

    // Shows the dialog and returns when it ends: UpdateStarted or Closed.
    int Exec();
    // Shows the dialog and starts its timer without waiting (Exec's first half).
    void Open();
    // Ends the dialog with result; refused (false) while the download runs.
    bool Done(int result);
    bool IsFinished() const { return m_finished; }
    int Result() const { return m_result; }

    // The Update button: the licence box first, then the download.
    bool OnStart();

    bool UpdateAvailable() const { return m_bUpdateAvailable; }
    bool CheckedOnce() const { return m_bCheckedOnce; }
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
    // The check of the first timer tick.
    void OnTimer();
    void RunCheck();
    void SetStatus(const QString& text, bool error = false);

    int32_t m_nInstalledBuild;
    bool m_bUpdateAvailable = false;
    bool m_bLicenseAccepted = false;
    bool m_bCheckedOnce = false;
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
