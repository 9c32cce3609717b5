#pragma once

#include "UsbUnit.h"
#include "link/StationSession.h"

#include <QHostAddress>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

class Operator;
class QSerialPort;
class QTcpServer;
class QTcpSocket;

// Our terminal communication control. Terminals reach the station over TCP on
// the configured port and over the chosen USB communication unit, both
// speaking the terminal link (docs/terminal-link.md). Events are raised on
// the thread that owns the control, the user-interface thread.
//
// One terminal session is served at a time, so that TerminalNumber names the
// terminal of the event being handled; other terminals wait their turn (a
// bounded number, for a bounded time) and are told so while they wait.
class CommServer : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Listening READ Listening WRITE setListening)
    Q_PROPERTY(int TerminalNumber READ TerminalNumber)

public:
    // The selector the station passes to FindUsbUnits: USB communication units.
    static constexpr qint32 UsbUnitKind = 2048;

    struct Config
    {
        Config(const QHostAddress &address = QHostAddress::Any, quint16 port = 0)
            : address(address)
            , port(port)
        { }

        QHostAddress address;
        quint16 port; // 0 lets the system pick a free port (tests)
        // The protocol's limits, the station folder and the link key.
        Link::StationConfig link;
        // Terminals that may wait while another is served, and for how long.
        int maxWaiting = 8;
        int turnWaitMs = 120000;
        qint32 baudRate = 115200;
    };

    CommServer(const Config &config,
               Operator &op,
               UsbUnitFinder findUnits = systemUsbUnits,
               QObject *parent = nullptr);
    ~CommServer() override;

    // Whether terminals are being listened for. Writing true starts listening
    // and raises ListenStarted once it has begun (or ListenFailed); writing
    // false stops it and raises ListenStopped.
    bool Listening() const;
    void setListening(bool listen);

    // The number of the terminal whose transfer is being reported; 0 outside one.
    int TerminalNumber() const { return m_terminalNumber; }

    // Counts the usable USB communication units of the kinds asked for.
    qint16 FindUsbUnits(qint32 kinds);
    // Lets the operator choose one of the units found; true when one was chosen.
    bool ChooseUsbUnit();
    std::optional<UsbUnit> chosenUsbUnit() const { return m_chosenUnit; }
    void setUsbUnit(const UsbUnit &unit) { m_chosenUnit = unit; }

    // The files (paths) now staged for a terminal to fetch. Each terminal's
    // are its own: staging for one leaves what was staged for another.
    void stageForSending(int terminalNumber, const QStringList &paths);
    QStringList stagedFor(int terminalNumber) const;

    // Terminals waiting for their turn.
    int waitingCount() const { return int(m_waiting.size()); }

    // Called from the handler of a Saved transfer when the file could not be
    // filed: the terminal is told so instead of "saved".
    void filingFailed(const QString &reason);

    // Whether any terminal is still connected: served, waiting, or being
    // sent its last answer.
    bool hasConnections() const;

    // The TCP port actually listened on (the configured one, or the one the
    // system picked); 0 when not listening.
    quint16 serverPort() const;

Q_SIGNALS:
    void ListenStarted();
    // terminalNumber: the terminal of the transfer.
    void TransferStatus(Link::TransferKind statusKind, const QString &fileName, int terminalNumber);
    void ListenStopped(int reason);
    // Listening could not begin (or the USB unit could not be opened);
    // reason says why, for the operator.
    void ListenFailed(const QString &reason);
    // What happened on the link, for the station log: sessions, refusals.
    void LinkNote(const QString &text);
    // The last connection has closed (after listening stopped, the last
    // answers have gone out).
    void connectionsClosed();

private:
    void onNewConnection();
    void onSerialReadyRead();
    bool openUnit(QString *error);
    void closeUnit();
    void admit(Link::StationSession *session);
    void serveNext();
    void onSessionEnded(Link::StationSession *session);
    // Lets the connection go once its last answer has gone out.
    void letGo(QTcpSocket *socket);
    void onSessionStatus(Link::TransferKind statusKind,
                         const QString &fileName,
                         int terminalNumber);

    Config m_config;
    Operator &m_operator;
    UsbUnitFinder m_findUnits;
    QTcpServer *m_tcp = nullptr;
    QList<UsbUnit> m_units;
    std::optional<UsbUnit> m_chosenUnit;
    int m_terminalNumber = 0;
    QSerialPort *m_serial = nullptr;
    Link::StationSession *m_serialSession = nullptr;
    Link::StationSession *m_active = nullptr;
    QList<Link::StationSession *> m_waiting;
    QSet<QObject *> m_closing;
    QHash<int, QStringList> m_staged;
};
