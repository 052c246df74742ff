#include "ui/cwizardbus.h"

CWizardBus::CWizardBus(QObject* parent) : QObject(parent) { Bus().AddListener("CWizardBus", this); }

CWizardBus::~CWizardBus() { Bus().RemoveListener(this); }

void CWizardBus::RequestCancel() { CMsgSend cancel(MsgCode::Cancel, CVariant(1)); }

void CWizardBus::SayPageChanged(int step, int previous)
{
    CMsgSend changed(MsgCode::PageChanged, CVariant(step), CVariant(previous));
}

void CWizardBus::SayDestinationChanged() { CMsgSend changed(MsgCode::DestinationChanged); }

void CWizardBus::CloseViewer() { CMsgSend close(MsgCode::CloseViewer); }

void CWizardBus::OnMessage(CSingleMsg& msg)
{
    switch (msg.Code) {
    case MsgCode::JobStarted:
        m_jobRunning = true;
        emit jobStarted();
        break;
    case MsgCode::JobFinished:
        m_jobRunning = false;
        emit jobFinished();
        break;
    case MsgCode::Progress:
        EmitProgress(msg);
        break;
    case MsgCode::TransferStatus:
        EmitStatus(msg);
        break;
    case MsgCode::CardSelected:
        emit cardSelected();
        break;
    case MsgCode::CardListChanged:
        emit cardListChanged();
        break;
    case MsgCode::CloseViewer:
        emit viewerClosing();
        break;
    case MsgCode::ShowPage:
        emit pageRequested(msg.Value1.ToInt());
        break;
    default:
        emit otherMessage();
        break;
    }
    emit delivered();
}

void CWizardBus::EmitProgress(const CSingleMsg& msg)
{
    const int scope = msg.Scope.ToInt();
    switch (msg.Kind) {
    case ProgressStep::Show:
        emit progressShown(scope);
        return;
    case ProgressStep::Finished:
        emit progressFinished(scope);
        return;
    case ProgressStep::Position:
        emit progressMoved(scope, msg.Value1.ToInt(),
                           msg.Value2.GetType() == CVariant::Type::Text ? std::optional(QString::fromStdString(msg.Value2.ToText()))
                                                                      : std::nullopt);
        return;
    case ProgressStep::Range:
        emit progressRange(scope, msg.Value1.ToInt(), msg.Value2.ToInt());
        return;
    case ProgressStep::Query:
        // Whether the progress display is free: not while a job runs.
        if (msg.Reply)
            *msg.Reply = m_jobRunning ? 0 : 1;
        break;
    default:
        break;
    }
    emit otherMessage();
}

void CWizardBus::EmitStatus(const CSingleMsg& msg)
{
    // The bus's one place where the wizard looks at a message's record: a status
    // message carries the sending job's status record.
    const auto* status = dynamic_cast<const CTransferStatus*>(msg.Attached);
    const int scope = msg.Scope.ToInt();
    switch (status ? status->Kind : 0) {
    case StatusKind::FileStarted:
        emit fileStarted(scope, *status);
        return;
    case StatusKind::FileFinished:
        emit fileFound(scope, *status);
        return;
    case StatusKind::FileDescribed:
        emit fileDescribed(scope, *status);
        return;
    case StatusKind::Progress:
        emit transferProgress(scope, *status);
        return;
    default:
        emit otherMessage();
        return;
    }
}
