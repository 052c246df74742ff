#include "ui/wizardservices.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>

#include "ui/cpxmaindlg.h"

void CWizardServices::SetStatusText(const QString& text, bool error)
{
    if (!m_statusLine)
        return;
    if (error)
        m_statusLine->SetErrorText(text);
    else
        m_statusLine->SetText(text);
}

void CWizardServices::SayWhereFileIs(QWidget* parent, const QString& what, const QString& path)
{
    const QString text = QCoreApplication::translate("CFrmRoot", "No program on this desktop opens %1. You find it here:\n%2").arg(what, path);
    SetStatusText(text, true);
    Box(BoxKind::Message, parent, text, QCoreApplication::translate("CFrmRoot", "Open"));
}

namespace {

// The box of a failed support request: the reason, "Save as text..." (the default) and OK.
int SendFailedBox(QWidget* parent, const QString& text, const QString& title)
{
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setAccessibleName(title);
    QPushButton* save = box.addButton(QCoreApplication::translate("CEmailSupportDlg", "Save as text..."), QMessageBox::ActionRole);
    box.setDefaultButton(save);
    box.exec();
    return box.clickedButton() == save ? int(QMessageBox::Save) : int(QMessageBox::Ok);
}

}  // namespace

int CDesktopServices::Box(BoxKind kind, QWidget* parent, const QString& text, const QString& title)
{
    switch (kind) {
    case BoxKind::Confirm:
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel,
                                     QMessageBox::Cancel);
    case BoxKind::YesNo:
        return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    case BoxKind::SendFailed:
        return SendFailedBox(parent, text, title);
    case BoxKind::Warning:
        return QMessageBox::warning(parent, title, text);
    case BoxKind::Message:
        break;
    }
    return QMessageBox::information(parent, title, text);
}

bool CDesktopServices::OpenFile(const QString& path) { return QDesktopServices::openUrl(QUrl::fromLocalFile(path)); }

bool CDesktopServices::OpenUrl(const QString& url) { return QDesktopServices::openUrl(QUrl(url)); }

bool CDesktopServices::PlaySound(const QString& path)
{
    // The sound servers' players first; without them, the desktop's program for the file.
    for (const char* player : {"pw-play", "paplay", "aplay"}) {
        const QString program = QStandardPaths::findExecutable(player);
        if (!program.isEmpty() && QProcess::startDetached(program, {path}))
            return true;
    }
    return OpenFile(path);
}

QString CDesktopServices::ChooseFolder(QWidget* parent, const QString& title, const QString& start)
{
    return QFileDialog::getExistingDirectory(parent, title, start);
}

QString CDesktopServices::ChooseSaveFile(QWidget* parent, const QString& title, const QString& suggested,
                                         const QString& filter)
{
    return QFileDialog::getSaveFileName(parent, title, suggested, filter);
}

QuitAnswer CDesktopServices::AskQuit(QWidget* parent, const QString& text)
{
    const std::unique_ptr<QMessageBox> box = CPXMainDlg::MakeQuitQuestion(text, parent);
    box->exec();
    return CPXMainDlg::AnswerOf(*box);
}
