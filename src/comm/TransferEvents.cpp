#include "TransferEvents.h"

#include "base/Operator.h"

TransferEvents::TransferEvents(const Comm::Settings &settings,
                               Operator &op,
                               StationLog &log,
                               const Clock &clock,
                               QObject *parent)
    : QObject(parent)
    , m_operator(op)
    , m_filing(settings, op, log, clock)
{ }

std::optional<QString> TransferEvents::statusText(qint16 statusKind,
                                                  const QString &fileName,
                                                  int terminalNumber)
{
    const QString terminal = QString::number(terminalNumber);
    switch (statusKind) {
    case 0:
        return fileName + QStringLiteral("送信中 :") + terminal;
    case 1:
        return fileName + QStringLiteral("受信中 :") + terminal;
    case 2:
        return fileName + QStringLiteral("保存中 :") + terminal;
    case 3:
        return fileName + QStringLiteral("保存成功 :") + terminal;
    case 4:
        return fileName + QStringLiteral("保存失敗");
    case 5:
        return QStringLiteral("ログファイル解凍中");
    default:
        return std::nullopt;
    }
}

void TransferEvents::TransferStatus(qint16 statusKind, const QString &fileName, int terminalNumber)
{
    if (statusKind == 3) {
        fileSaved(fileName, terminalNumber);
        return;
    }
    if (const std::optional<QString> text = statusText(statusKind, fileName, terminalNumber))
        Q_EMIT statusLineChanged(*text);
}

void TransferEvents::fileSaved(const QString &fileName, int terminalNumber)
{
    m_operator.message(fileName);
    Q_EMIT statusLineChanged(*statusText(3, fileName, terminalNumber));
    if (fileName == QLatin1String("CTRL.csv")) {
        Q_EMIT mastersStaged(terminalNumber, m_filing.MasterCsvCopy(terminalNumber));
    } else if (fileName == QLatin1String("S_HACH.dat") || fileName == QLatin1String("S_TANA.dat")) {
        m_filing.DataMove(fileName, terminalNumber);
    } else {
        m_filing.FileDelete(fileName);
    }
}
