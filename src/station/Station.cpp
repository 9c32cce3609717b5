#include "Station.h"

#include "StationLock.h"

#include "base/Operator.h"
#include "base/StationLog.h"
#include "comm/CommServer.h"
#include "comm/TransferEvents.h"
#include "masters/MasterScan.h"

#include <QTimer>

#include <algorithm>

Station::Station(CommServer &server, Operator &op, StationLog &log, QObject *parent)
    : QObject(parent)
    , m_server(server)
    , m_operator(op)
    , m_log(log)
{
    Timer1 = new QTimer(this);
    Timer1->setInterval(3000);
    connect(Timer1, &QTimer::timeout, this, &Station::Timer1Timer);
    connect(&m_server, &CommServer::ListenStarted, this, &Station::onListenStarted);
    connect(&m_server, &CommServer::ListenStopped, this, &Station::onListenStopped);
    connect(&m_server, &CommServer::ListenFailed, this, &Station::onListenFailed);
}

void Station::load()
{
    m_pollCountdown = 30;
    Timer1->start();
    Command2Click();
    if (m_quitting)
        return;
    Command1Click();
}

void Station::Command1Click()
{
    m_server.setListening(!m_server.Listening());
    setStatusLine(QString());
}

void Station::Command2Click()
{
    if (m_server.Listening()) {
        m_operator.message(QStringLiteral("現在待ち受け中です"));
        return;
    }
    if (m_unitWanted)
        SelectUsbUnit();
}

void Station::SelectUsbUnit()
{
    const qint16 units = m_server.FindUsbUnits(CommServer::UsbUnitKind);
    if (units == 0) {
        m_operator.message(QStringLiteral("接続可能なUSBポートがありません"));
        return;
    }
    if (!m_server.ChooseUsbUnit()) {
        m_operator.message(QStringLiteral("USBポートが選択されませんでした"));
        m_quitting = true;
        Q_EMIT quitRequested();
    }
}

void Station::handleTransfers(TransferEvents &events)
{
    connect(&m_server, &CommServer::TransferStatus, &events, &TransferEvents::TransferStatus);
    connect(&events, &TransferEvents::statusLineChanged, this, &Station::setStatusLine);
    connect(&events, &TransferEvents::mastersStaged, &m_server, &CommServer::stageForSending);
    connect(&events, &TransferEvents::filingFailed, &m_server, &CommServer::filingFailed);
    connect(
        &m_server, &CommServer::LinkNote, this, [this](const QString &text) { m_log.write(text); });
}

void Station::Timer1Timer()
{
    if (m_pollCountdown > 1) {
        --m_pollCountdown;
        Q_EMIT countdownShown(QString::number(m_pollCountdown));
        if (m_filesWaiting && !m_scan->isRunning() && takeMastersLock())
            scanAndRelease();
        return;
    }
    if (!takeMastersLock())
        return;
    m_pollCountdown = 3600;
    Q_EMIT countdownShown(QStringLiteral("3600"));
    scanAndRelease();
}

bool Station::takeMastersLock()
{
    QString problem;
    if (m_scan && m_mastersLock && !m_mastersLock->take(0, &problem)) {
        // Another process is applying master files: scanning now would apply
        // the same files twice. One line in the log, however long it takes.
        if (!m_scanDeferred)
            m_log.write(QStringLiteral("マスター更新待ち: ") + problem);
        m_scanDeferred = true;
        return false;
    }
    m_scanDeferred = false;
    return true;
}

void Station::scanAndRelease()
{
    if (m_beforeScan)
        m_beforeScan();
    if (m_scan) {
        const QList<MasterScan::Outcome> outcomes = m_scan->run();
        m_filesWaiting
            = std::any_of(outcomes.cbegin(),
                          outcomes.cend(),
                          [](const MasterScan::Outcome &outcome) { return outcome.waiting; });
        if (!outcomes.isEmpty())
            Q_EMIT scanned(outcomes);
    }
    if (m_mastersLock)
        m_mastersLock->release();
}

void Station::unload()
{
    Timer1->stop();
    m_server.setListening(false);
}

void Station::onListenStarted()
{
    m_log.write(QStringLiteral("待ち受け開始"));
    // Who may connect, and how, is the first thing shown: a station open to
    // anyone, or still taking older terminals, should not go unnoticed.
    setStatusLine(m_server.linkState());
    Q_EMIT listeningShown(true);
}

void Station::onListenStopped()
{
    m_log.write(QStringLiteral("待ち受け終了"));
    Q_EMIT listeningShown(false);
}

void Station::onListenFailed(const QString &reason)
{
    m_operator.message(reason);
}

void Station::setStatusLine(const QString &text)
{
    if (!text.isEmpty())
        m_log.write(text);
    Q_EMIT statusLineChanged(text);
}
