#pragma once
// The wizard's pages: CMFCPageDlg is what the page control places and switches,
// CFrmRoot the common behaviour of every page (becoming current and leaving, the checks
// behind Continue, the card check, message boxes, the card caption, cancel, the progress
// bar driven by the bus). The page control keeps the pages by step.
#include <QHash>
#include <QLabel>
#include <QMap>
#include <QPointer>
#include <QProgressBar>
#include <QRect>
#include <QString>
#include <QWidget>

#include "device/cdrivedoc.h"
#include "ui/csteps.h"
#include "ui/cwizardbus.h"
#include "ui/wizardservices.h"
#include "widgets/cballoontip.h"

class CMFCPageDlg : public QWidget {
    Q_OBJECT
public:
    CMFCPageDlg(int step, const QString& title, const QString& description, QWidget* parent = nullptr);

    int Step() const { return m_step; }
    const QString& Title() const { return m_title; }
    const QString& Description() const { return m_description; }
    CMFCPageDlg* Next() const { return m_next; }
    CMFCPageDlg* Previous() const { return m_previous; }
    void SetNext(CMFCPageDlg* page) { m_next = page; }
    void SetPrevious(CMFCPageDlg* page) { m_previous = page; }
    bool IsActive() const { return m_active; }

    virtual void OnPageShow() { m_active = true; }
    virtual void OnPageHide() { m_active = false; }

protected:
    bool m_active = false;

private:
    int m_step;
    QString m_title, m_description;
    CMFCPageDlg* m_next = nullptr;
    CMFCPageDlg* m_previous = nullptr;
};

// What the main window gives every page: the card document they share, the wizard's
// listener on the bus, and the services.
struct CPageContext {
    CDriveDoc& doc;
    CWizardBus& bus;
    CWizardServices& services;
};

// The identifiers of the controls that the shared page operations fill.
namespace ControlId {
constexpr int TotalImages = 1075;   // "Total Images:" / "Number of files:"
constexpr int TotalSize = 1076;     // "Total Size:" / "Restored images total size:"
constexpr int BytesVerified = 1079;  // "Bytes Verified:", the byte counter
constexpr int ReadErrors = 1058;    // "Read Errors:"
constexpr int Heading = 1015;
constexpr int Start = 1019;         // Start, or Save on the save page
constexpr int Cancel = 1020;
constexpr int Progress = 1021;
constexpr int CardList = 1041;
}  // namespace ControlId

class CFrmRoot : public CMFCPageDlg {
    Q_OBJECT
public:
    CFrmRoot(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);
    ~CFrmRoot() override;

    void OnPageShow() override;
    void OnPageHide() override;
    // Clears the page's counters before a new run: 1079 and 1058 read "0".
    virtual void ResetPage();
    // The card check, its balloon at the page's card list (1041) when it has one.
    virtual bool CheckReady();
    virtual bool CanContinue() { return CheckReady(); }
    virtual bool CanGoBack() { return Previous() != nullptr; }
    void RequestCancel();
    // "Not selected", or "Removable <product> (E:)".
    QString CardCaption() const;
    // The open balloon warning's text (empty when none is open).
    const QString& BalloonText() const { return m_balloon; }
    // A message box with an OK button ("Message" when no title), its text first on the
    // status line.
    void ShowMessage(const QString& text, const QString& title = {});
    // Yes, No and Cancel ("Confirmation" when no title): the button pressed; only Yes goes on.
    int Confirm(const QString& text, const QString& title = {});
    // The progress text of a status record ("25%    (1.2 GB / 4.0 GB) - ..."), and the
    // bytes done in the page's byte counter (1079) when it has one.
    void ShowProgress(const CTransferStatus& status);
    // The files marked to keep: their number in 1075, their total size in 1076.
    void ShowTotals();
    // The page's control of an identifier (null when the page has none), and its text set
    // (nothing happens when the page has no such control).
    QWidget* Control(int id) const { return m_controls.value(id, nullptr); }
    void SetControlText(int id, const QString& text);
    bool JobRunning() const { return m_context.bus.JobRunning(); }

    // Every page's card check: a card present, then one selected; a balloon points at
    // `at` (the heading when null) when it fails. The tool pages and the support page
    // have their own texts.
    bool CheckCard(QWidget* at, const QString& insertText = tr("Please insert a memory card into a reader"),
                   const QString& selectText = tr("Please select a memory card from the list"));
    // The card list of the main window's top bar, where the tools choose their card.
    void SetCardAnchor(QWidget* list) { m_cardAnchor = list; }
    QWidget* CardAnchor() const { return m_cardAnchor; }

protected:
    // What the bus brings, for the page to show: each is called after the current page
    // refreshed its controls, the status records only for the scopes the page takes.
    virtual bool TakesScope(int /*scope*/) const { return true; }
    virtual void OnFileStarted(const CTransferStatus&) {}
    virtual void OnFileFound(const CTransferStatus&) {}
    virtual void OnFileDescribed(const CTransferStatus&) {}
    virtual void OnTransferProgress(const CTransferStatus&) {}
    // A job's position came with a text (the current page only, before its bar moves).
    virtual void OnProgressText(int /*scope*/, const QString&) {}
    virtual void OnCardSelected() {}
    virtual void OnCardListChanged() {}
    virtual void OnViewerClosing() {}

    // The status line under the pages.
    void SetStatusText(const QString& text, bool error = false) { Services().SetStatusText(text, error); }
    CWizardServices& Services() const { return m_context.services; }
    CWizardBus& WizardBus() const { return m_context.bus; }
    // A balloon warning at a control: at most one per page, closed by the next action.
    void ShowBalloon(QWidget* at, const QString& title, const QString& text,
                     CBalloonTip::Kind kind = CBalloonTip::Kind::Warning);
    void CloseBalloon();
    virtual void RefreshControls() {}
    // Registers a control under its identifier for the shared operations above.
    void AddControl(int id, QWidget* control) { m_controls.insert(id, control); }
    CDriveDoc& Document() const { return m_context.doc; }
    // The page's heading (control 1015).
    void SetHeading(const QString& text);
    // Makes the page's progress bar (1021) and the progress text line under it.
    void MakeProgress();

    QLabel* m_heading = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_progressText = nullptr;

private:
    // Every message of the bus: the current page refreshes its controls, then the typed
    // handler runs.
    void ListenToBus();
    void Received();
    void ProgressShown(int scope);
    void ProgressFinished(int scope);
    void ProgressMoved(int scope, int position, const std::optional<QString>& text);
    void ProgressRange(int scope, int low, int high);
    bool ShowsProgressOf(int scope) const { return IsActive() && m_progress && TakesScope(scope); }

    CPageContext m_context;
    QString m_balloon;
    QPointer<CBalloonTip> m_balloonTip;
    QHash<int, QWidget*> m_controls;
    QPointer<QWidget> m_cardAnchor;
};

// The pages by step, and the one that is current.
class CMFCPageCtrl {
public:
    void Add(CMFCPageDlg* page) { m_pages.insert(page->Step(), page); }
    CMFCPageDlg* Page(int step) const { return m_pages.value(step, nullptr); }
    CMFCPageDlg* Current() const { return m_current; }
    void SetArea(const QRect& area);
    // Hides the old page (OnPageHide), places and shows the new one (OnPageShow).
    void SetCurrent(int step);

private:
    QMap<int, CMFCPageDlg*> m_pages;
    QPointer<CMFCPageDlg> m_current;
    QRect m_area;
};
