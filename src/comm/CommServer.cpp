#include "CommServer.h"

#include "base/Operator.h"
#include "link/LinkFiles.h"

#include <QDir>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// A terminal that sends faster than the station files is slowed down by the
// link itself rather than buffered without end.
constexpr qint64 ReadBufferSize = 1024 * 1024;

} // namespace

CommServer::CommServer(const Config &config, Operator &op, UsbUnitFinder findUnits, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_operator(op)
    , m_findUnits(std::move(findUnits))
    , m_tcp(new QTcpServer(this))
{
    m_config.link.stagedFiles = [this](int terminal) {
        return stagedFor(terminal);
    };
    connect(m_tcp, &QTcpServer::newConnection, this, &CommServer::onNewConnection);
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
    return m_tcp->isListening();
}

void CommServer::setListening(bool listen)
{
    if (listen == Listening())
        return;
    if (!listen) {
        m_tcp->close();
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
    if (!m_tcp->listen(m_config.address, m_config.port)) {
        Q_EMIT ListenFailed(QStringLiteral("ポート %1 で待ち受けを開始できません（%2）")
                                .arg(m_config.port)
                                .arg(m_tcp->errorString()));
        return;
    }
    // A station made before received into its own folder has no transfer
    // folder yet.
    const QString folder = m_config.link.folder;
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        m_tcp->close();
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
    return Listening() ? m_tcp->serverPort() : quint16(0);
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

void CommServer::onNewConnection()
{
    while (QTcpSocket *socket = m_tcp->nextPendingConnection()) {
        socket->setReadBufferSize(ReadBufferSize);
        const QString peer
            = socket->peerAddress().toString() + u':' + QString::number(socket->peerPort());
        auto *session = new Link::StationSession(socket, m_config.link, peer, false, nullptr, this);
        socket->setParent(session);
        connect(socket, &QTcpSocket::disconnected, session, &Link::StationSession::deviceLost);
        admit(session);
    }
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
    // Ten bits a byte on the line: start, eight data, stop.
    config.lineBytesPerSecond = qMax(1, m_config.baudRate / 10);
    m_serialSession
        = new Link::StationSession(
            m_serial, config, m_chosenUnit->systemLocation, true, nullptr, this);
    admit(m_serialSession);
}

void CommServer::admit(Link::StationSession *session)
{
    connect(session, &Link::StationSession::transferStatus, this, &CommServer::onSessionStatus);
    connect(session, &Link::StationSession::note, this, &CommServer::LinkNote);
    connect(
        session, &Link::StationSession::ended, this, [this, session] { onSessionEnded(session); });
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
    m_waiting.append(session);
    session->waitForTurn(m_config.turnWaitMs);
}

void CommServer::onSessionEnded(Link::StationSession *session)
{
    m_waiting.removeAll(session);
    if (session == m_serialSession) {
        m_serialSession = nullptr;
        // What is left of a broken exchange is dropped; the next session
        // starts on a quiet line.
        if (m_serial)
            m_serial->clear(QSerialPort::Input);
        if (!Listening())
            closeUnit();
    } else if (auto *socket = session->findChild<QTcpSocket *>()) {
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
    // With nothing left to send, or a peer that hung up first, the socket is
    // gone at once: its disconnected() has been raised already and will not
    // come again.
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    // The last answer (an error, a goodbye) still goes out; a peer that does
    // not take it is cut off after a while.
    m_closing.insert(socket);
    connect(socket, &QObject::destroyed, this, [this, socket] {
        m_closing.remove(socket);
        if (!hasConnections())
            Q_EMIT connectionsClosed();
    });
    QTimer::singleShot(5000, socket, [socket] {
        socket->abort();
        socket->deleteLater();
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
