#pragma once
// The support request: a modal form that describes this computer, the user's problem and
// the selected card, sent by mail (CMail) to the maker's support address, which is the
// settings' "Support Mail" (a reseller's own, or a test's).
//
// Send builds the body and hands it, with the subject "Technical support request", to the
// mail program, which runs while the dialog stays usable ("Sending..."; Close becomes
// Cancel, which stops the mail program; closing the window stops it too). A request the
// mail program took closes the dialog with OK. One that could not be sent (no mail
// program, a refusal, a time limit) is told in one box with the reason (the program's
// exit status and its own words) and the dialog stays open with everything typed; the
// box and the dialog offer "Save as text...", which writes the request into a text file
// the user chooses, to send it another way.
#include <QDialog>
#include <QString>

#include "services/cmail.h"
#include "ui/wizardservices.h"

class CDriveDoc;
class QCloseEvent;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CEmailSupportDlg : public QDialog {
    Q_OBJECT
public:
    // doc gives the card information (the selected card's report); null leaves it empty.
    CEmailSupportDlg(CDriveDoc* doc, CWizardServices& services, QWidget* parent = nullptr);

    // The body of a request, line ends CR LF: the heading, the problem, the computer and
    // system lines, then the card information. The user's address is not part of it.
    static QString Body(const QString& problem, const QString& computer, const QString& system,
                        const QString& cardInfo);
    // Body of the form's present values, the multi-line fields with CR LF line ends.
    QString BuildBody() const;
    // "Number of Processors: %u; Processor Type: %u; Page size: %u; " of this machine.
    static QString ComputerDescription();
    // The processor type number of this program's architecture, in the numbering of the
    // original platform's system information: 8664 for x86-64, 586 for 32-bit x86. That
    // numbering has no value for the others, so they carry their PE machine number:
    // 43620 (0xAA64) for 64-bit ARM, 452 (0x1C4) for 32-bit ARM, 20580 (0x5064) for
    // 64-bit RISC-V; 0 for any other.
    static unsigned ProcessorType();
    // The address requests go to: the settings' support mail.
    QString SupportAddress() const;

    QLineEdit* ComputerEdit() const { return m_computer; }
    QLineEdit* SystemEdit() const { return m_system; }
    QLineEdit* UserMailEdit() const { return m_userMail; }
    QPlainTextEdit* ProblemEdit() const { return m_problem; }
    QPlainTextEdit* CardInfoEdit() const { return m_cardInfo; }
    QPushButton* SendButton() const { return m_send; }
    QPushButton* CloseButton() const { return m_close; }
    QPushButton* SaveTextButton() const { return m_saveText; }
    QLabel* StateLabel() const { return m_state; }
    // The dialog's mail session; a test shortens its time limit.
    CMail& Mail() { return m_mail; }

    // The request as a text file: To and Subject lines, a blank line, the body; CR LF.
    QString RequestText() const;
    // Save as text: the file chooser, then the request written into the chosen file. True
    // when it was written; a file that cannot be written is told in a box with the reason.
    bool SaveAsText();

    // Escape and Cancel while the mail program runs stop it and keep the dialog open.
    void reject() override;

protected:
    // Closing the window stops a mail program that still runs.
    void closeEvent(QCloseEvent* event) override;

private:
    // The steps of the constructor, in the order it runs them.
    void SetUpWindow();                                // title, modality and the white background
    QGridLayout* MakeGrid();                           // the form's two-column grid, its margins and spacing
    void AddIntro(QGridLayout* layout);                // the line that asks for the information, on row 0
    int MakeFields(QGridLayout* layout);               // the labelled fields from row 1; returns the next row
    void SetUpReportField();                           // the card report: read-only, unwrapped, fixed pitch
    void MakeButtons(QGridLayout* layout, int row);    // Save as text, the sending state, Send and Close
    void FillFields(const CDriveDoc* doc);             // this computer, its system and the card's report

    void OnSend();
    void OnSent(bool ok);
    void ShowSending(bool sending);

    QLineEdit* m_computer = nullptr;
    QLineEdit* m_system = nullptr;
    QLineEdit* m_userMail = nullptr;
    QPlainTextEdit* m_problem = nullptr;
    QPlainTextEdit* m_cardInfo = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_close = nullptr;
    QPushButton* m_saveText = nullptr;
    QLabel* m_state = nullptr;
    CWizardServices& m_services;
    CMail m_mail;
};
