#pragma once

#include "DrainDeadline.h"
#include "FrameDeadline.h"
#include "LinkFiles.h"
#include "LinkFrame.h"
#include "LinkProtocol.h"
#include "Wire.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QIODevice;

namespace Link {

struct StationConfig
{
    // Where received files land and staged files are sent from: a folder
    // that holds nothing else of the station's.
    QString folder;
    qint64 maxFileSize = DefaultMaxFileSize;
    // The protocol this connection speaks: Version (1) in plain frames,
    // TunnelVersion (2) inside TLS, whose handshake has proven the key.
    quint16 version = Version;
    // Inside TLS: the terminal the handshake's identity named; HELLO must
    // name the same one.
    int provenTerminal = 0;
    // The keys a version-1 terminal may answer the challenge with: the
    // current one and any retired one still valid. None: no challenge.
    QList<QByteArray> linkKeys;
    // The terminal numbers served; a HELLO from any other is refused.
    int firstTerminal = MinTerminal;
    int lastTerminal = MaxTerminal;
    // The deadline of every step: the next whole frame the session waits
    // for (HELLO, AUTH, the next command, the next piece of a file), and the
    // peer's taking of what the station has queued for it. Bytes that
    // trickle in do not extend it.
    int stepDeadlineMs = 30000;
    // How often a waiting terminal is told it has not been forgotten.
    int keepAliveMs = 10000;
    // No session keeps the turn for ever: it may last this grace, plus the
    // time its files (those it announced, those it was sent) take at the
    // lowest rate a terminal on this kind of link is expected to manage,
    // and may ask for its masters this many times.
    int sessionGraceMs = 60000;
    qint64 minBytesPerSecond = 256 * 1024;
    int maxFetches = 4;
    // While more than this waits to be taken by the peer, nothing more is
    // read from it, so a peer that asks without reading cannot grow what the
    // station holds for it.
    qint64 maxQueuedBytes = 1024 * 1024;
    // A serial line's speed in bytes a second (0 on TCP): there a frame
    // must arrive whole within a second plus twice the time its length
    // takes on the line, and before HELLO a half-frame that does not is
    // skipped as noise.
    int lineBytesPerSecond = 0;
    // The paths of the files staged for a terminal; each is sent under its
    // file name.
    std::function<QStringList(int terminal)> stagedFiles;
    // Whether a file of the announced size may be taken in now: empty to go
    // on, else why not (the disk it would fill). Asked before any of its
    // data, so a refused terminal keeps its file and sends nothing in vain.
    std::function<QString(qint64 announcedSize)> admit;
    // Names a terminal may not send, though they could do no harm in the
    // folder: the station's own files. Folders are refused as well.
    QStringList reservedNames;
};

// The station's end of one terminal session over any open device (a TCP
// connection or a serial line): hello, the optional challenge, uploads and
// downloads, until the terminal says goodbye or something goes wrong.
//
// A session acts only while it has the turn (begin()); until then whatever
// the terminal sends waits in the device. While a transfer event is being
// handled (the handler may open a modal message box, so events of all kinds
// go on arriving) the session does not advance: its input waits until the
// handler has returned.
class StationSession : public QObject
{
    Q_OBJECT

public:
    // The device is not taken over: the owner keeps and closes it. wire
    // counts what the device has still to send (none: the device itself);
    // it must outlive the session.
    StationSession(QIODevice *device,
                   const StationConfig &config,
                   const QString &peer,
                   bool hunting,
                   Wire *wire = nullptr,
                   QObject *parent = nullptr);
    ~StationSession() override;

    // The session is served from now on.
    void begin();
    // Waiting for the turn: the terminal is told so every keep-alive period,
    // and after waitMs it is sent away as busy.
    void waitForTurn(int waitMs);
    // Ends the session with an error to the terminal. Inside a transfer
    // event's handler the session ends as soon as the handler returns.
    void stop(ErrorCode code, const QString &reason);
    // The device is gone: the session ends without a word, noted as a lost
    // connection, once what had arrived is served.
    void deviceLost();
    // Called from the handler of a Saved transfer when the station could not
    // file what it received: the terminal is told so instead of "saved", and
    // keeps its copy.
    void filingFailed(const QString &reason);

    bool hasEnded() const { return m_state == State::Ended; }
    int terminalNumber() const { return m_terminal; }
    QString peer() const { return m_peer; }
    // Whether the terminal said goodbye, and the log's line on how it ended.
    bool endedByGoodbye() const { return m_goodbye; }
    QString endNote() const { return m_endNote; }
    // How the log names this end: "端末 N (ADDR:PORT)", N as its HELLO gave
    // it, or "?" before one came.
    QString who() const;

Q_SIGNALS:
    // A transfer step, for TransferStatus of the control.
    void transferStatus(Link::TransferKind kind, const QString &fileName, int terminalNumber);
    // Something worth keeping in the station log.
    void note(const QString &text);
    // Raised once, outside any handler; the owner may then delete the session.
    void ended();

private:
    enum class State { Idle, Hello, Auth, Ready, Receiving, Sending, Ended };

    void pump();
    void handle(const Frame &frame);
    void onHello(const Frame &frame);
    void onAuth(const Frame &frame);
    void onPut(const Frame &frame);
    void onData(const Frame &frame);
    void onEnd(const Frame &frame);
    void onFetch();
    void sendMore();
    void welcome();
    void send(quint8 type, const QByteArray &payload = {});
    // Ends the session, telling the peer why.
    void fail(ErrorCode code, const QString &reason);
    // Ends the session, with the answer when one can go out. A file being
    // received is dropped and reported as not saved.
    void end(const QString &why, const std::optional<ErrorMessage> &answer = std::nullopt);
    // Ends the session as stop() or deviceLost() asked once no handler runs;
    // true when it has ended so.
    bool endIfAsked();
    void raise(TransferKind kind, const QString &name);
    // Raises ended() once the session has ended, outside any handler.
    void finish();
    void onStall();
    void onBytesWritten();
    void onFrameOverdue();
    // Lengthens the session's cap by the time bytes take at the lowest rate.
    void allowFor(quint64 bytes);
    bool reading() const;

    QPointer<QIODevice> m_device;
    std::unique_ptr<Wire> m_ownWire;
    Wire *m_wire;
    StationConfig m_config;
    QString m_peer;
    FrameDecoder m_decoder;
    State m_state = State::Idle;
    int m_terminal = 0;
    int m_named = 0; // as the HELLO named it, accepted or not
    QByteArray m_nonce;
    std::unique_ptr<IncomingFile> m_incoming;
    std::unique_ptr<OutgoingFile> m_outgoing;
    QStringList m_toSend;
    int m_sentCount = 0;
    QTimer m_deadline;
    DrainDeadline m_drain;
    FrameDeadline m_frameDeadline;
    QString m_filingFailure;
    QTimer m_keepAlive;
    QTimer m_turnWait;
    QTimer m_cap;
    int m_fetches = 0;
    bool m_pumping = false;
    bool m_inHandler = false;
    bool m_endedRaised = false;
    // What a stop() asked while the session could not end at once.
    std::optional<ErrorMessage> m_stopAsked;
    // The device is gone: nothing more comes or goes.
    bool m_lost = false;
    bool m_goodbye = false;
    QString m_endNote;
};

} // namespace Link
