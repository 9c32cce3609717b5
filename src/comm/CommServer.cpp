#include "CommServer.h"

#include "LingeringClose.h"
#include "LinkListener.h"
#include "base/Operator.h"
#include "link/LinkFiles.h"
#include "link/LinkKey.h"
#include "tls/TlsWire.h"

#include <QDir>
#include <QHostAddress>
#include <QSerialPort>
#include <QSslSocket>
#include <QTimer>

namespace {

// A terminal that sends faster than the station files is slowed down by the
// link itself rather than buffered without end.
constexpr qint64 ReadBufferSize = 1024 * 1024;

// A peer that neither takes the last answer nor hangs up is cut off then.
constexpr int ClosingGraceMs = 5000;
// Beyond this many, a peer is not waited for to hang up: peers that never do
// must not keep the station's connections open by the thousand.
constexpr int MaxLingering = 32;

} // namespace

CommServer::CommServer(const Config &config, Operator &op, UsbUnitFinder findUnits, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_operator(op)
    , m_findUnits(std::move(findUnits))
{
    m_config.link.stagedFiles = [this](int terminal) {
        return stagedFor(terminal);
    };
    LinkListener::Config listening;
    listening.addresses = m_config.addresses;
    listening.port = m_config.port;
    listening.handshakeDeadlineMs = m_config.handshakeDeadlineMs;
    listening.maxHandshakes = m_config.maxHandshakes;
    listening.maxHandshakesPerAddress = m_config.maxHandshakesPerAddress;
    if (!validKeys().isEmpty()) {
        listening.presharedKey = [this](const QByteArray &identity) {
            const std::optional<Link::PskIdentity> named = Link::parsePskIdentity(identity);
            if (!named)
                return QByteArray();
            for (const QByteArray &key : validKeys()) {
                if (Link::keyId(key) == named->keyId)
                    return Link::presharedKey(key);
            }
            return QByteArray();
        };
    }
    m_listener = new LinkListener(listening, this);
    connect(m_listener, &LinkListener::plainConnection, this, &CommServer::onPlainConnection);
    connect(m_listener, &LinkListener::tlsConnection, this, &CommServer::onTlsConnection);
    connect(m_listener, &LinkListener::note, this, &CommServer::LinkNote);
}

CommServer::~CommServer()
{
    for (QObject *socket : std::as_const(m_closing))
        socket->disconnect(this);
    // Sessions go before the devices they read.
    const QList<Link::StationSession *> sessions = findChildren<Link::StationSession *>();
    for (Link::StationSession *session : sessions)
        delete session;
}

bool CommServer::Listening() const
{
    return m_listener->isListening();
}

QList<QByteArray> CommServer::validKeys() const
{
    return m_config.keys ? m_config.keys() : QList<QByteArray>();
}

void CommServer::setListening(bool listen)
{
    if (listen == Listening())
        return;
    if (!listen) {
        m_listener->close();
        // Waiting terminals are sent away; the one being served ends as soon
        // as the event being handled for it is done.
        const QList<Link::StationSession *> waiting = m_waiting;
        for (Link::StationSession *session : waiting)
            session->stop(Link::ErrorCode::Stopping, QStringLiteral("the station stops listening"));
        if (m_active)
            m_active->stop(Link::ErrorCode::Stopping,
                           QStringLiteral("the station stops listening"));
        if (!m_serialSession)
            closeUnit();
        Q_EMIT ListenStopped(0);
        return;
    }
    if (QString error; !m_listener->listen(&error)) {
        QString text = QStringLiteral("ポート %1 で待ち受けを開始できません（%2）")
                           .arg(m_config.port)
                           .arg(error);
        // Most often a second station on the machine left at the default port.
        if (m_listener->portInUse())
            text += QStringLiteral("。ほかのプログラムかステーションがこのポートを使っています。"
                                   "別のポートを設定ファイルの PORT（serve では --port "
                                   "でも）で指定してください");
        Q_EMIT ListenFailed(text);
        return;
    }
    // A station made before received into its own folder has no transfer
    // folder yet.
    const QString folder = m_config.link.folder;
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        m_listener->close();
        Q_EMIT ListenFailed(QStringLiteral("受信フォルダ %1 を作成できません").arg(folder));
        return;
    }
    // A station that was killed mid-transfer may have left partial files.
    const int swept = Link::IncomingFile::sweep(folder);
    if (swept > 0)
        Q_EMIT LinkNote(QStringLiteral("受信途中のファイルを %1 件削除しました").arg(swept));
    QString error;
    if (m_chosenUnit && !openUnit(&error))
        Q_EMIT ListenFailed(error);
    Q_EMIT ListenStarted();
}

quint16 CommServer::serverPort() const
{
    return m_listener->serverPort();
}

QString CommServer::linkState() const
{
    QStringList where;
    bool beyondLoopback = false;
    for (const QHostAddress &address : std::as_const(m_config.addresses)) {
        if (address == QHostAddress::Any)
            where.append(QStringLiteral("すべてのアドレス"));
        else
            where.append(address.protocol() == QAbstractSocket::IPv6Protocol
                             ? u'[' + address.toString() + u']'
                             : address.toString());
        beyondLoopback = beyondLoopback || !address.isLoopback();
    }
    const QString on = QStringLiteral("%1 のポート %2")
                           .arg(where.join(QStringLiteral(", ")))
                           .arg(Listening() ? serverPort() : m_config.port);
    if (!validKeys().isEmpty()) {
        QString state = QStringLiteral("端末は TLS とリンク鍵で接続します（%1）").arg(on);
        if (m_config.acceptV1)
            state += QStringLiteral("。移行中: 鍵で応答するバージョン 1 の端末も受け付けます");
        return state;
    }
    if (beyondLoopback)
        return QStringLiteral("警告: リンク鍵がなく、どこからでも端末として接続できます（%1、"
                              "INSECURE_LISTEN）")
            .arg(on);
    return QStringLiteral("リンク鍵がないため、このマシンの中からの接続だけを受け付けます（%1）")
        .arg(on);
}

void CommServer::stageForSending(int terminalNumber, const QStringList &paths)
{
    m_staged.insert(terminalNumber, paths);
}

QStringList CommServer::stagedFor(int terminalNumber) const
{
    return m_staged.value(terminalNumber);
}

qint16 CommServer::FindUsbUnits(qint32 kinds)
{
    // USB communication units are the only kind this control drives.
    m_units = (kinds & UsbUnitKind) && m_findUnits ? m_findUnits() : QList<UsbUnit>();
    return qint16(qMin(m_units.size(), qsizetype(32767)));
}

bool CommServer::ChooseUsbUnit()
{
    if (m_units.isEmpty())
        return false;
    QStringList labels;
    for (const UsbUnit &unit : std::as_const(m_units))
        labels.append(unit.label());
    const int picked
        = m_operator.choose(QStringLiteral("USB通信ユニット"),
                            QStringLiteral("使用するUSB通信ユニットを選択してください"),
                            labels);
    if (picked < 0 || picked >= m_units.size())
        return false;
    m_chosenUnit = m_units.at(picked);
    return true;
}

Link::StationSession *CommServer::sessionFor(QSslSocket *socket,
                                             const Link::StationConfig &config,
                                             Link::Wire *wire)
{
    socket->setReadBufferSize(ReadBufferSize);
    // An IPv4 peer on a dual-stack socket is named as IPv4; an IPv6 one in
    // brackets, so that its port cannot be taken for part of the address.
    bool isV4 = false;
    const quint32 v4 = socket->peerAddress().toIPv4Address(&isV4);
    const QString address
        = isV4 ? QHostAddress(v4).toString() : u'[' + socket->peerAddress().toString() + u']';
    const QString peer = address + u':' + QString::number(socket->peerPort());
    auto *session = new Link::StationSession(socket, config, peer, false, wire, this);
    socket->setParent(session);
    m_addressOf.insert(session, socket->peerAddress().toString());
    connect(socket, &QTcpSocket::disconnected, session, &Link::StationSession::deviceLost);
    watch(session);
    return session;
}

void CommServer::onPlainConnection(QSslSocket *socket)
{
    Link::StationConfig config = m_config.link;
    config.linkKeys = validKeys();
    Link::StationSession *session = sessionFor(socket, config, nullptr);
    if (!config.linkKeys.isEmpty() && !m_config.acceptV1) {
        session->stop(Link::ErrorCode::BadVersion,
                      QStringLiteral("this station speaks protocol version %1 inside TLS only: "
                                     "give the terminal the station's link key and software "
                                     "that speaks version %1 (docs/terminal-link.md)")
                          .arg(Link::TunnelVersion));
        return;
    }
    admit(session);
}

void CommServer::onTlsConnection(QSslSocket *socket, int terminal)
{
    Link::StationConfig config = m_config.link;
    config.version = Link::TunnelVersion;
    config.provenTerminal = terminal;
    // The wire lives with the socket, which outlives its session.
    Link::StationSession *session = sessionFor(socket, config, new Tls::TlsWire(socket, socket));
    // A record that fails its check (bytes altered, dropped or injected on
    // the way) leaves TLS unable to go on, but the socket open: the session
    // ends at once, as for a lost connection, and nothing of it is kept.
    connect(socket,
            &QSslSocket::errorOccurred,
            session,
            [this, session, socket](QAbstractSocket::SocketError error) {
                if (error == QAbstractSocket::RemoteHostClosedError || session->hasEnded())
                    return;
                Q_EMIT LinkNote(session->who() + QStringLiteral(" TLS エラー: ")
                                + socket->errorString());
                socket->abort();
                session->deviceLost();
            });
    admit(session);
}

bool CommServer::openUnit(QString *error)
{
    closeUnit();
    m_serial = new QSerialPort(m_chosenUnit->systemLocation, this);
    m_serial->setBaudRate(m_config.baudRate);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    m_serial->setReadBufferSize(ReadBufferSize);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        *error = QStringLiteral("USB通信ユニット %1 を開けません（%2）")
                     .arg(m_chosenUnit->systemLocation, m_serial->errorString());
        closeUnit();
        return false;
    }
    connect(m_serial, &QSerialPort::readyRead, this, &CommServer::onSerialReadyRead);
    Q_EMIT LinkNote(
        QStringLiteral("USB通信ユニット %1 で待ち受け").arg(m_chosenUnit->systemLocation));
    return true;
}

void CommServer::closeUnit()
{
    if (!m_serial)
        return;
    m_serial->disconnect(this);
    // A last answer (the station stopping) goes out before the line closes.
    if (m_serial->bytesToWrite() > 0)
        m_serial->waitForBytesWritten(500);
    m_serial->close();
    m_serial->deleteLater();
    m_serial = nullptr;
}

void CommServer::onSerialReadyRead()
{
    // A serial line carries one session after another; a new one begins when
    // a terminal speaks while none is open.
    if (m_serialSession || !Listening())
        return;
    Link::StationConfig config = m_config.link;
    config.linkKeys = validKeys();
    // Ten bits a byte on the line: start, eight data, stop.
    config.lineBytesPerSecond = qMax(1, m_config.baudRate / 10);
    // A session may take twice its files' time on the line.
    config.minBytesPerSecond = qMax(1, config.lineBytesPerSecond / 2);
    m_serialSession = new Link::StationSession(
        m_serial, config, m_chosenUnit->systemLocation, true, nullptr, this);
    watch(m_serialSession);
    admit(m_serialSession);
}

void CommServer::watch(Link::StationSession *session)
{
    connect(session, &Link::StationSession::transferStatus, this, &CommServer::onSessionStatus);
    connect(session, &Link::StationSession::note, this, &CommServer::LinkNote);
    connect(
        session, &Link::StationSession::ended, this, [this, session] { onSessionEnded(session); });
}

void CommServer::admit(Link::StationSession *session)
{
    if (!m_active) {
        m_active = session;
        session->begin();
        return;
    }
    if (m_waiting.size() >= m_config.maxWaiting) {
        session->stop(Link::ErrorCode::Busy,
                      QStringLiteral("too many terminals waiting; try again later"));
        return;
    }
    const QString address = m_addressOf.value(session);
    if (!address.isEmpty()) {
        int fromThere = 0;
        for (Link::StationSession *waiting : std::as_const(m_waiting))
            fromThere += m_addressOf.value(waiting) == address ? 1 : 0;
        if (fromThere >= m_config.maxWaitingPerAddress) {
            session->stop(
                Link::ErrorCode::Busy,
                QStringLiteral("too many terminals waiting from %1; try again later").arg(address));
            return;
        }
    }
    m_waiting.append(session);
    session->waitForTurn(m_config.turnWaitMs);
}

void CommServer::onSessionEnded(Link::StationSession *session)
{
    m_waiting.removeAll(session);
    m_addressOf.remove(session);
    if (session->terminalNumber() > 0)
        Q_EMIT SessionEnded(
            session->terminalNumber(), session->endedByGoodbye(), session->endNote());
    if (session == m_serialSession) {
        m_serialSession = nullptr;
        // What is left of a broken exchange is dropped; the next session
        // starts on a quiet line.
        if (m_serial)
            m_serial->clear(QSerialPort::Input);
        if (!Listening())
            closeUnit();
    } else if (auto *socket
               = session->findChild<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly)) {
        socket->disconnect(session);
        socket->setParent(this);
        letGo(socket);
    }
    session->disconnect(this);
    session->deleteLater();
    if (session == m_active) {
        m_active = nullptr;
        m_terminalNumber = 0;
        // The next terminal is served from the event loop, not from inside
        // the ending of this one.
        QTimer::singleShot(0, this, &CommServer::serveNext);
    }
    if (!hasConnections())
        Q_EMIT connectionsClosed();
}

void CommServer::letGo(QTcpSocket *socket)
{
    Comm::closeAfterLastAnswer(socket, ClosingGraceMs, m_closing.size() < MaxLingering);
    m_closing.insert(socket);
    connect(socket, &QObject::destroyed, this, [this, socket] {
        m_closing.remove(socket);
        if (!hasConnections())
            Q_EMIT connectionsClosed();
    });
}

bool CommServer::hasConnections() const
{
    return m_active || !m_waiting.isEmpty() || !m_closing.isEmpty();
}

void CommServer::filingFailed(const QString &reason)
{
    if (m_active)
        m_active->filingFailed(reason);
}

void CommServer::serveNext()
{
    if (m_active || m_waiting.isEmpty())
        return;
    m_active = m_waiting.takeFirst();
    m_active->begin();
}

void CommServer::onSessionStatus(Link::TransferKind statusKind,
                                 const QString &fileName,
                                 int terminalNumber)
{
    m_terminalNumber = terminalNumber;
    Q_EMIT TransferStatus(statusKind, fileName, terminalNumber);
}
