#include "MasterMaintenance.h"

#include "StationLock.h"

#include "base/Comm.h"
#include "base/Operator.h"
#include "base/StationLog.h"
#include "masters/MasterImport.h"

MasterMaintenance::MasterMaintenance(const Comm::Settings &settings,
                                     Operator &op,
                                     StationLog &log,
                                     const Clock &clock)
    : m_settings(settings)
    , m_operator(op)
    , m_log(log)
    , m_clock(clock)
{ }

void MasterMaintenance::load()
{
    m_importDbPath = m_settings.importDb;
    m_importFolder = m_settings.importDir;
}

bool MasterMaintenance::importMaster(const Masters::Definition &master)
{
    // Never two imports or an import and a scan at once, whichever process
    // runs them; the window does not wait, the operator can try again.
    StationLock lock(m_settings.layout().mastersLockFile());
    QString problem;
    if (!lock.take(0, &problem)) {
        // Busy only when another process holds it; else the problem alone
        // says why (the lock file cannot be made).
        const bool busy = lock.error() == QLockFile::LockFailedError;
        m_operator.message((busy ? busyText() : QString()) + problem);
        return false;
    }
    MasterImport import(m_importDbPath, m_importFolder, m_clock);
    const bool imported = import.run(master);
    lock.release();
    // The operator's message may let the window close; nothing of this object
    // is used once it has been shown.
    Operator &op = m_operator;
    if (!imported) {
        op.message(import.error());
        return false;
    }
    m_log.write(MasterImport::summary(master, import.counts()));
    op.notice(doneCaption(), doneText());
    return true;
}
