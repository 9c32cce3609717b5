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

std::optional<QString> TransferEvents::statusText(Link::TransferKind statusKind,
                                                  const QString &fileName,
                                                  int terminalNumber)
{
    const QString terminal = QString::number(terminalNumber);
    switch (statusKind) {
    case Link::TransferKind::Sending:
        return fileName + QStringLiteral("送信中 :") + terminal;
    case Link::TransferKind::Receiving:
        return fileName + QStringLiteral("受信中 :") + terminal;
    case Link::TransferKind::Saving:
        return fileName + QStringLiteral("保存中 :") + terminal;
    case Link::TransferKind::Saved:
        return fileName + QStringLiteral("保存成功 :") + terminal;
    case Link::TransferKind::SaveFailed:
        return fileName + QStringLiteral("保存失敗 :") + terminal;
    case Link::TransferKind::UnpackingLog:
        return QStringLiteral("ログファイル解凍中");
    }
    return std::nullopt;
}

void TransferEvents::TransferStatus(Link::TransferKind statusKind,
                                    const QString &fileName,
                                    int terminalNumber)
{
    if (statusKind == Link::TransferKind::Saved) {
        fileSaved(fileName, terminalNumber);
        return;
    }
    if (const std::optional<QString> text = statusText(statusKind, fileName, terminalNumber))
        Q_EMIT statusLineChanged(*text);
}

void TransferEvents::fileSaved(const QString &fileName, int terminalNumber)
{
    m_operator.notice(QString(), fileName);
    Q_EMIT statusLineChanged(*statusText(Link::TransferKind::Saved, fileName, terminalNumber));
    QString failure;
    if (fileName == QLatin1String("CTRL.csv")) {
        Q_EMIT mastersStaged(terminalNumber, m_filing.MasterCsvCopy(terminalNumber, &failure));
    } else if (fileName == QLatin1String("S_HACH.dat") || fileName == QLatin1String("S_TANA.dat")) {
        m_filing.DataMove(fileName, terminalNumber, &failure);
    } else {
        // Any other name is kept, not filed: the terminal may delete its copy
        // once told it was saved. One that cannot be kept is not "saved".
        QString kept;
        if (m_filing.FileDelete(fileName, terminalNumber, &kept))
            Q_EMIT statusLineChanged(
                QStringLiteral("%1保管 :%2 %3").arg(fileName).arg(terminalNumber).arg(kept));
        else
            failure = QStringLiteral("the station could not keep %1").arg(fileName);
    }
    if (failure.isEmpty())
        return;
    Q_EMIT statusLineChanged(*statusText(Link::TransferKind::SaveFailed, fileName, terminalNumber));
    Q_EMIT filingFailed(failure);
}
