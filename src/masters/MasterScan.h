#pragma once

#include "DBupdate.h"
#include "base/Comm.h"

#include <QList>
#include <QString>

namespace Masters {
struct Definition;
}
class Operator;
class StationLog;

// One look through the receive folders of the station's terminals for master files
// placed there from outside: each file found is applied by its master's
// update procedure, then renamed to ".sav" so that it is not applied again.
// The window's timer, the windowless station and "tarvinex scan" all use it.
class MasterScan
{
public:
    // What became of one master file found.
    struct Outcome
    {
        QString terminalId;
        QString master;
        QString file; // the master file's path
        DBupdate::Result result;
        // The operator message of a failure; empty when the file was applied.
        QString failure;

        bool applied() const { return failure.isEmpty(); }
    };

    MasterScan(const Comm::Settings &settings, Operator &op, StationLog &log);

    // Terminals in increasing order, within each the masters in the order
    // category, store, supplier, customer, product, in-house code; pending
    // events run after each master. Master files are found ignoring letter
    // case; of two spellings one is taken per scan and the other told. A file
    // that cannot be applied (a link, FIFO or folder with the name included)
    // is told to the operator and keeps its ".dat" name for the next scan, and
    // the scan goes on. A file applied is never applied again: when the old
    // ".sav" cannot be replaced it is kept under a numbered ".sav" name and
    // told. A link replaced under an export's or ".sav" name is logged. A scan
    // asked for while one is running does nothing.
    QList<Outcome> run();

    bool isRunning() const { return m_running; }

private:
    Outcome applyOne(const DBupdate::MasterFile &file);
    bool renameApplied(const DBupdate::MasterFile &file, QString *keptAs);

    static constexpr int MaxNumberedApplied = 999;

    Comm::Settings m_settings;
    Operator &m_operator;
    StationLog &m_log;
    bool m_running = false;
};
