#include "CommServer.h"

#include "app/Operator.h"

#include <QTcpServer>

CommServer::CommServer(const Config &config, Operator &op, UsbUnitFinder findUnits, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_operator(op)
    , m_findUnits(std::move(findUnits))
    , m_tcp(new QTcpServer(this))
{ }

CommServer::~CommServer() = default;

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
        Q_EMIT ListenStopped(0);
        return;
    }
    if (!m_tcp->listen(m_config.address, m_config.port)) {
        Q_EMIT ListenFailed(QStringLiteral("ポート %1 で待ち受けを開始できません（%2）")
                                .arg(m_config.port)
                                .arg(m_tcp->errorString()));
        return;
    }
    Q_EMIT ListenStarted();
}

quint16 CommServer::serverPort() const
{
    return Listening() ? m_tcp->serverPort() : quint16(0);
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
