#pragma once

#include "Cli.h"
#include "base/Comm.h"
#include "base/Operator.h"
#include "base/StationLog.h"
#include "comm/CommServer.h"

#include <memory>
#include <optional>

class Clock;
class DatabaseStart;
class MasterScan;
class Station;
class StationLock;
class StationRecorder;
class TransferEvents;

// The station without a face: the control, the master scan, the transfer
// events and the station logic, wired together for one station folder. The
// window and the windowless station put their own operator in front of it.
class StationCore
{
public:
    // What the settings do not say about the link: the address terminals are
    // listened for on, and limits of the control (tests shorten them).
    struct LinkOptions
    {
        // Empty: those the settings say.
        QList<QHostAddress> addresses;
        std::optional<int> stepDeadlineMs;
        std::optional<int> maxWaiting;
        std::optional<int> turnWaitMs;
        std::optional<int> sessionGraceMs;
    };

    StationCore(const Comm::Settings &settings,
                Operator &face,
                const Clock &clock,
                UsbUnitFinder findUnits = systemUsbUnits,
                const LinkOptions &link = {},
                Cli::Process process = Cli::Process::Window);
    ~StationCore();

    const Comm::Settings &settings() const { return m_settings; }

    StationLog &log() { return m_log; }
    // The face's operator, with every text written to the station log too,
    // and notices on the status line when the settings say NOTICES=log.
    Operator &op() { return m_operator; }
    CommServer &server() { return *m_server; }
    MasterScan &scan() { return *m_scan; }
    Station &station() { return *m_station; }
    TransferEvents &transfers() { return *m_transfers; }

    // For a station that started while its database server could not be
    // reached: before each scan the databases are looked at again, and the
    // operator told, until they answer.
    void retryDatabases(bool withImport);
    // Keeps what the start made on the database server for `status`.
    void noteMade(const QStringList &lines);

private:
    Comm::Settings m_settings;
    StationLog m_log;
    LoggedOperator m_logged;
    QuietNotices m_operator;
    std::unique_ptr<CommServer> m_server;
    std::unique_ptr<MasterScan> m_scan;
    std::unique_ptr<StationLock> m_mastersLock;
    std::unique_ptr<Station> m_station;
    std::unique_ptr<TransferEvents> m_transfers;
    std::unique_ptr<StationRecorder> m_recorder;
    std::unique_ptr<DatabaseStart> m_databases;
};
