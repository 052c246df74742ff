#pragma once
// The support request: a modal form that describes this computer, the user's problem and
// the selected card, sent by mail (CMail) to the maker's support address, which is the
// settings' "Support Mail" (a reseller's own, or a test's).
//
// Send builds the body, sends it with the subject "Technical support request" and closes
// the dialog with OK whatever the outcome: failures are told by the mail's own boxes.
#include <QDialog>
#include <QString>

#include "services/cmail.h"

class CDriveDoc;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

class CEmailSupportDlg : public QDialog {
    Q_OBJECT
public:
    // doc gives the card information (the selected card's report); null leaves it empty.
    explicit CEmailSupportDlg(CDriveDoc* doc, QWidget* parent = nullptr);

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
    // The address requests go to: the settings' support mail, the maker's without settings.
    static QString SupportAddress();

    QLineEdit* ComputerEdit() const { return m_computer; }
    QLineEdit* SystemEdit() const { return m_system; }
    QLineEdit* UserMailEdit() const { return m_userMail; }
    QPlainTextEdit* ProblemEdit() const { return m_problem; }
    QPlainTextEdit* CardInfoEdit() const { return m_cardInfo; }
    QPushButton* SendButton() const { return m_send; }
    QPushButton* CloseButton() const { return m_close; }
    // The dialog's mail session; a test replaces its hooks to see the boxes.
    CMail& Mail() { return m_mail; }

private:
    void OnSend();

    QLineEdit* m_computer = nullptr;
    QLineEdit* m_system = nullptr;
    QLineEdit* m_userMail = nullptr;
    QPlainTextEdit* m_problem = nullptr;
    QPlainTextEdit* m_cardInfo = nullptr;
    QPushButton* m_send = nullptr;
    QPushButton* m_close = nullptr;
    CMail m_mail;
};
