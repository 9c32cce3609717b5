#pragma once

#include "UsbUnit.h"
#include "link/StationSession.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

#include <optional>

class LinkListener;
class Operator;
class QSerialPort;
class QSslSocket;
class QTcpSocket;

// Our terminal communication control. Terminals reach the station over TCP on
// the configured addresses and port and over the chosen USB communication
// unit, both speaking the terminal link (docs/terminal-link.md): over TCP
// inside TLS proven by the link key (version 2) or, without a key or for
// older terminals, in plain frames (version 1). Events are raised on the
// thread that owns the control, the user-interface thread.
//
// One terminal session is served at a time, so that TerminalNumber names the
// terminal of the event being handled; other terminals wait their turn (a
// bounded number, fewer from any one address, for a bounded time) and are
// told so while they wait.
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
        QList<QHostAddress> addresses { QHostAddress::Any };
        quint16 port = 0; // 0 lets the system pick a free port (tests)
        // The protocol's limits and the station folder.
        Link::StationConfig link;
        // The link keys valid now, the current one first, then retired ones
        // whose time has not run out. None: the station has no key, and TCP
        // speaks plain version 1 only.
        std::function<QList<QByteArray>()> keys;
        // Whether a keyed station still takes plain version-1 terminals
        // over TCP (answering the challenge), while terminals are moved over.
        bool acceptV1 = true;
        // Terminals that may wait while another is served (in all, and from
        // one address: room for terminals behind one router), and how long.
        int maxWaiting = 8;
        int maxWaitingPerAddress = 4;
        int turnWaitMs = 120000;
        // Connections not yet past their first bytes and TLS handshake.
        int handshakeDeadlineMs = 10000;
        int maxHandshakes = 32;
        int maxHandshakesPerAddress = 3;
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

    // How terminals may reach the station, for the operator: with a key or
    // without, on which addresses, and whether older terminals are taken.
    QString linkState() const;

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
    // A terminal's session has ended: by its goodbye, or as note says.
    void SessionEnded(int terminalNumber, bool goodbye, const QString &note);
    // The last connection has closed (after listening stopped, the last
    // answers have gone out).
    void connectionsClosed();

private:
    QList<QByteArray> validKeys() const;
    void onPlainConnection(QSslSocket *socket);
    void onTlsConnection(QSslSocket *socket, int terminal);
    Link::StationSession *sessionFor(QSslSocket *socket,
                                     const Link::StationConfig &config,
                                     Link::Wire *wire);
    void onSerialReadyRead();
    bool openUnit(QString *error);
    void closeUnit();
    // Raises the session's events as the control's and lets it go when it ends.
    void watch(Link::StationSession *session);
    // Gives the session the turn, a waiting place, or sends it away as busy.
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
    LinkListener *m_listener = nullptr;
    QList<UsbUnit> m_units;
    std::optional<UsbUnit> m_chosenUnit;
    int m_terminalNumber = 0;
    QSerialPort *m_serial = nullptr;
    Link::StationSession *m_serialSession = nullptr;
    Link::StationSession *m_active = nullptr;
    QList<Link::StationSession *> m_waiting;
    QSet<QObject *> m_closing;
    // The peer address of each TCP session, for the places per address.
    QHash<Link::StationSession *, QString> m_addressOf;
    QHash<int, QStringList> m_staged;
};
