#pragma once

#include "DBupdate.h"
#include "DailyNotices.h"
#include "MisplacedFiles.h"
#include "SettleCheck.h"
#include "base/Comm.h"

#include <QList>
#include <QString>

namespace Masters {
struct Definition;
}
class Clock;
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
        // What the update did. Its error is the operator message of a failure,
        // naming the file, also when the file was refused before or after the
        // update; empty when the file was applied.
        DBupdate::Result result;
        // Left for a later scan while its writer seems to be still at it.
        bool waiting = false;

        bool applied() const { return !waiting && result.ok(); }
    };

    MasterScan(const Comm::Settings &settings, Operator &op, StationLog &log, const Clock &clock);

    // Terminals in increasing order, within each the masters in the order
    // category, store, supplier, customer, product, in-house code; pending
    // events run after each master. Master files are found ignoring letter
    // case; of two spellings one is taken per scan and the other told. A file
    // that cannot be applied (a link, FIFO or folder with the name included)
    // is told to the operator and keeps its ".dat" name for the next scan, and
    // the scan goes on. A file applied is never applied again: when the old
    // ".sav" cannot be replaced it is kept under a numbered ".sav" name and
    // told. A link replaced under an export's or ".sav" name is logged. A file
    // still being written (SettleCheck) is left waiting, logged once while it
    // waits. Names the station does not take (MisplacedFiles) are logged once
    // a day each. A scan asked for while one is running does nothing.
    QList<Outcome> run();

    bool isRunning() const { return m_running; }

    // What the last run named as misplaced.
    const QList<MisplacedFiles::Entry> &misplaced() const { return m_misplaced; }
    // Keeps what was named today in file between runs, for one-shot scans.
    void keepNoticesIn(const QString &file) { m_noticesFile = file; }

private:
    Outcome applyOne(const DBupdate::MasterFile &file);
    Outcome waitFor(const DBupdate::MasterFile &file);
    void nameMisplaced(const QList<MisplacedFiles::Entry> &entries);
    bool renameApplied(const DBupdate::MasterFile &file, QString *keptAs);

    static constexpr int MaxNumberedApplied = 999;

    Comm::Settings m_settings;
    Operator &m_operator;
    StationLog &m_log;
    SettleCheck m_settle;
    DailyNotices m_notices;
    QString m_noticesFile;
    QList<MisplacedFiles::Entry> m_misplaced;
    // The files the last run left waiting, so each wait is logged once.
    QStringList m_waiting;
    bool m_running = false;
};
