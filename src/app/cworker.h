#pragma once
// CWorker stamps a job's start and end times into its status record; CRunner announces
// a run on the bus (JobStarted) and, on every way out of the run, stamps the end, lets the
// job close and announces JobFinished.
#include "app/ctransferstatus.h"
#include "jobs/cmsg.h"

class CWorker {
public:
    explicit CWorker(CTransferStatus* status = nullptr) : m_pStatus(status) {}
    virtual ~CWorker() = default;
    virtual void Started() {}
    virtual void Finished() {}

    CTransferStatus* Status() const { return m_pStatus; }

protected:
    CTransferStatus* m_pStatus;
};

class CRunner {
public:
    // Sends JobStarted, then calls Started of the worker (may be null).
    explicit CRunner(CWorker* worker) : m_pWorker(worker)
    {
        if (m_pWorker)
            m_pWorker->Started();
    }
    // Calls Finished of the worker, then sends JobFinished.
    virtual ~CRunner()
    {
        if (m_pWorker)
            m_pWorker->Finished();
    }
    CRunner(const CRunner&) = delete;
    CRunner& operator=(const CRunner&) = delete;

private:
    CMsgRun m_run;   // constructed first, destroyed last
    CWorker* m_pWorker;
};
