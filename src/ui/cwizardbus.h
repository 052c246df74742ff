#pragma once
// The wizard's one listener on the message bus. It turns each message into one typed
// signal, keeps whether a job runs, answers the bus's questions, and sends the messages
// the wizard has for the core. The pages and the main window connect to its signals in
// the order the bus used to reach them (the bars, the pages by step, then the window), so
// what they do for a message happens in the order it always did.
#include <QObject>
#include <QString>

#include <optional>

#include "app/ctransferstatus.h"
#include "jobs/cmsg.h"

class CWizardBus : public QObject, public CListener {
    Q_OBJECT
public:
    explicit CWizardBus(QObject* parent = nullptr);
    ~CWizardBus() override;

    // From a job's start to its end. A cancel request does not end it: the job answers
    // it between blocks, and until then it still reads the card and writes the run folder.
    bool JobRunning() const { return m_jobRunning; }

    // Asks the running job to stop (it stops between two chunks).
    void RequestCancel();
    void SayPageChanged(int step, int previous);
    void SayDestinationChanged();
    // Asks the picture viewer to let its file go (the window is about to close).
    void CloseViewer();

    void OnMessage(CSingleMsg& msg) override;

signals:
    // Exactly one of these per message...
    void jobStarted();
    void jobFinished();
    void progressShown(int scope);      // a job shows its progress, from empty
    void progressFinished(int scope);   // a job's progress is at its end
    void progressMoved(int scope, int position, const std::optional<QString>& text);
    void progressRange(int scope, int low, int high);
    void fileStarted(int scope, const CTransferStatus& status);
    void fileFound(int scope, const CTransferStatus& status);      // a file is whole in the run folder
    void fileDescribed(int scope, const CTransferStatus& status);  // the camera's name and time of a file
    void transferProgress(int scope, const CTransferStatus& status);
    void cardSelected();
    void cardListChanged();
    void viewerClosing();
    void pageRequested(int step);
    void otherMessage();   // a message the wizard does nothing particular with
    // ...and then this one, once every page had it.
    void delivered();

private:
    void EmitProgress(const CSingleMsg& msg);
    void EmitStatus(const CSingleMsg& msg);

    bool m_jobRunning = false;
};
