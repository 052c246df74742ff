#pragma once
// The card tools: the read test, the format and the erase. Each works on the card chosen
// in the tools bar's card list, asks before it destroys anything, runs its job with
// progress on the page, and ends with "Finished" or the job's error on the status line.
#include <QCheckBox>
#include <QPushButton>

#include "ui/cfrmroot.h"

class CCardJob;

// What the three tool pages share: Start, Cancel and Eject Card, the progress bar in the
// tools' gold, the card check with the tool's own words, and running a job.
class CFrmToolPage : public CFrmRoot {
    Q_OBJECT
public:
    // tool: the word of the card check ("test", "format", "erase"); scope: the job's.
    CFrmToolPage(const CPageContext& context, const CStep& step, const QString& heading, const QString& tool,
                 int32_t scope, QWidget* parent);

    // "Please insert card to <tool>", "Please select card to <tool>", at the card list.
    bool CheckReady() override;
    // The tool itself; false when it did not start or failed.
    virtual bool OnStart() = 0;
    // Eject Card: the card check, then the document ejects the selected card.
    void OnEject();

    QPushButton* StartButton() const { return m_start; }
    QPushButton* CancelButton() const { return m_cancel; }
    QPushButton* EjectButton() const { return m_eject; }

protected:
    // Another card chosen: the page starts over.
    void OnCardSelected() override;
    void RefreshControls() override;
    void resizeEvent(QResizeEvent* event) override;
    // Runs the job, then shows "Finished" or the job's error in red on the status line
    // (a run that went through with an error, such as unreadable blocks, shows the error
    // too). True when it ran through without an error.
    bool RunJob(CCardJob& job);
    // Whether a message of this scope is the page's (0 or the page's own scope).
    bool OwnScope(int scope) const { return scope == 0 || scope == m_scope; }
    // Where the page's own lines go: between the heading and the progress bar.
    QRect ContentArea() const;

    const int32_t m_scope;

private:
    QString m_tool;
    QPushButton* m_start;
    QPushButton* m_cancel;
    QPushButton* m_eject;
};

// The read test: every block of the card is read; the summary lines tell what the file
// system looks like, the counters how far the test got and how many blocks did not read.
class CFrmToolCardTest : public CFrmToolPage {
    Q_OBJECT
public:
    CFrmToolCardTest(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    void OnPageShow() override;
    // The counters read "0", the four summary lines "N/A".
    void ResetPage() override;
    bool OnStart() override;
    QString Line(int id) const;
    // "Also test the card's real capacity (erases the card)": Start runs the capacity test
    // (tools/capacitytest.h) instead of the read test, after the erase's question; it is
    // refused while recovered files are not saved.
    QCheckBox* CapacityBox() const { return m_capacity; }

protected:
    bool TakesScope(int scope) const override { return OwnScope(scope); }
    void OnTransferProgress(const CTransferStatus& status) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    bool StartCapacityTest();

    std::vector<std::pair<QLabel*, QLabel*>> m_lines;
    QCheckBox* m_capacity;
};

// The format: a new FAT file system in the layout cameras expect, after a confirmation.
class CFrmToolFormat : public CFrmToolPage {
    Q_OBJECT
public:
    static constexpr const char* ConfirmText = QT_TR_NOOP("All data on the card will be erased!\nDo you want to continue?");
    static constexpr const char* DoneText = QT_TR_NOOP(
        "The card successfully formatted.\nThe device has been logically ejected, remove card from reader and re-insert to verify.");

    CFrmToolFormat(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);
    bool OnStart() override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* m_about;
};

// The erase: every block of the card overwritten with zeros, after a confirmation.
class CFrmToolWipe : public CFrmToolPage {
    Q_OBJECT
public:
    // The blank after the line break is the message's own.
    static constexpr const char* ConfirmText = QT_TR_NOOP("All data on the card will be permanently erased!\n Do you want to continue?");

    CFrmToolWipe(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);
    void OnPageShow() override;
    bool OnStart() override;

protected:
    bool TakesScope(int scope) const override { return OwnScope(scope); }
    void OnTransferProgress(const CTransferStatus& status) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* m_about;
};
