#pragma once

#include "LinkFiles.h"
#include "LinkFrame.h"
#include "LinkProtocol.h"
#include "Wire.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <memory>

class QIODevice;

namespace Link {

// The terminal's end of the link: it says hello, answers the challenge, then
// uploads and fetches files in the order asked, and says goodbye. It runs on
// the event loop of its thread, so a station in the same thread (tests, the
// benchmark) is served meanwhile.
class TerminalClient : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        int terminal = 0;
        // Version (1) in plain frames, answering the challenge with the key
        // when there is one; TunnelVersion (2) inside TLS, whose handshake
        // proved the key both ways.
        quint16 version = Version;
        QByteArray linkKey;
        // Silence this long from the station ends the session; the station
        // sends WAIT every few seconds while it keeps the terminal waiting.
        int stallTimeoutMs = 60000;
    };

    // The device must be open; it stays the caller's, as does wire, which
    // counts what the device has still to send (none: the device itself).
    TerminalClient(QIODevice *device,
                   const Options &options,
                   Wire *wire = nullptr,
                   QObject *parent = nullptr);
    ~TerminalClient() override;

    // Uploads the file under its bare name.
    void put(const QString &path);
    // Downloads the files staged for this terminal into dir.
    void fetch(const QString &dir);
    // Begins the session with the steps asked so far.
    void start();

    bool isFinished() const { return m_finished; }
    bool succeeded() const { return m_ok; }
    QString errorString() const { return m_error; }
    QStringList savedFiles() const { return m_saved; }
    QStringList fetchedFiles() const { return m_fetched; }

Q_SIGNALS:
    void saved(const QString &name);
    void fetched(const QString &name);
    void finished(bool ok, const QString &error);

private:
    struct Step
    {
        bool fetch = false;
        QString path; // the file to send, or the folder to fetch into
    };
    enum class State { Idle, Hello, Ready, Sending, AwaitSaved, Fetching, Bye, Done };

    void pump();
    void handle(const Frame &frame);
    void nextStep();
    void sendMore();
    void onFileHeader(const Frame &frame);
    void onData(const Frame &frame);
    void onEnd(const Frame &frame);
    void send(quint8 type, const QByteArray &payload = {});
    void fail(const QString &error, bool tellStation);
    void done(bool ok, const QString &error);

    QPointer<QIODevice> m_device;
    std::unique_ptr<Wire> m_ownWire;
    Wire *m_wire;
    Options m_options;
    FrameDecoder m_decoder;
    QList<Step> m_steps;
    Step m_step;
    State m_state = State::Idle;
    WelcomeMessage m_welcome;
    std::unique_ptr<OutgoingFile> m_outgoing;
    std::unique_ptr<IncomingFile> m_incoming;
    QString m_sendingName;
    QStringList m_saved;
    QStringList m_fetched;
    QTimer m_stall;
    bool m_challenged = false;
    bool m_finished = false;
    bool m_ok = false;
    QString m_error;
};

} // namespace Link
