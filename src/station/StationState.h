#pragma once

#include "Cli.h"
#include "base/StationLayout.h"
#include "comm/CommServer.h"
#include "masters/MasterScan.h"

#include <QJsonObject>
#include <QObject>

class Clock;
class StationLog;
class TransferEvents;

// What `tarvinex status` reads without asking the running station: small
// JSON files in the station's own folder, each replaced whole. The window or
// serve keeps the run file (its link, sessions, today's files, last errors);
// whoever applies masters keeps the applies file, under the masters lock.
namespace StationState {

inline constexpr int Version = 1;
// Bounds that keep each file small however long the station runs.
inline constexpr int MaxErrors = 20;
inline constexpr int MaxFiledToday = 2000;
inline constexpr int MaxMade = 10;

QString runFile(const StationLayout &layout);
QString appliesFile(const StationLayout &layout);

// The file's object; empty when it is missing, too large or not JSON.
QJsonObject read(const QString &file);
// Replaces the file whole. On failure *why is the log's line for it, naming
// the file, as it is for the record functions below.
bool write(const QString &file, const QJsonObject &state, QString *why);

// Notes each applied or failed master file over what the file held ("TTTT
// MASTER" → time, rows, outcome), so a later success clears a failure. Files
// left waiting change nothing. The caller holds the masters lock.
bool recordApplies(const StationLayout &layout,
                   const QList<MasterScan::Outcome> &outcomes,
                   const QDateTime &now,
                   QString *why);

// Adds what a start made on the database server (DatabaseStart::made) to the
// state's "made" list, the last MaxMade kept: a mistyped schema made anew
// stays in sight after the line has scrolled away.
void appendMade(QJsonObject *state, const QStringList &lines, const QDateTime &now);
// The same in the applies file, for a command holding the masters lock.
bool recordMade(const StationLayout &layout,
                const QStringList &lines,
                const QDateTime &now,
                QString *why);

} // namespace StationState

// Keeps the run file of a window or serve from the control's events.
class StationRecorder : public QObject
{
    Q_OBJECT

public:
    StationRecorder(const StationLayout &layout,
                    CommServer &server,
                    TransferEvents &events,
                    const Clock &clock,
                    StationLog &log,
                    Cli::Process process,
                    QObject *parent = nullptr);

    void noteError(const QString &text);
    void noteMade(const QStringList &lines);
    // Keeps what a scan applied or failed to, while it holds the masters lock.
    void recordScan(const QList<MasterScan::Outcome> &outcomes);

private:
    void onTransfer(Link::TransferKind kind, const QString &fileName, int terminal);
    void onSessionEnded(int terminal, bool goodbye, const QString &note);
    void save();

    void writeFailed(const QString &why);

    QString m_file;
    StationLayout m_layout;
    CommServer &m_server;
    const Clock &m_clock;
    StationLog &m_log;
    QJsonObject m_state;
    // Per terminal, the files saved in the session going on.
    QHash<int, int> m_filesNow;
    QHash<int, QString> m_failureNow;
    QString m_filingFailure;
    // A state file that cannot be written is logged once, not at each event.
    bool m_writeFailed = false;
};
