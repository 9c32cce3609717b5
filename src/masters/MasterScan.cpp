#include "MasterScan.h"

#include "MasterDefinitions.h"
#include "base/Operator.h"
#include "base/StationLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

MasterScan::MasterScan(const Comm::Settings &settings, Operator &op, StationLog &log)
    : m_settings(settings)
    , m_operator(op)
    , m_log(log)
{ }

QList<MasterScan::Outcome> MasterScan::run()
{
    QList<Outcome> outcomes;
    if (m_running)
        return outcomes;
    m_running = true;
    const StationLayout layout = m_settings.layout();
    for (int terminal = StationLayout::FirstTerminal; terminal <= StationLayout::LastTerminal;
         ++terminal) {
        const QString terminalId = Comm::terminalId(terminal);
        for (const Masters::Definition &master : Masters::all()) {
            const DBupdate::MasterFile file = DBupdate::inReceiveFolder(master, layout, terminalId);
            if (QFileInfo::exists(file.path))
                outcomes.append(applyOne(file));
            QCoreApplication::processEvents();
        }
    }
    m_running = false;
    return outcomes;
}

MasterScan::Outcome MasterScan::applyOne(const DBupdate::MasterFile &file)
{
    Outcome outcome;
    outcome.terminalId = file.terminalId;
    outcome.master = file.master.name;
    outcome.file = file.path;
    const QString applied = m_settings.layout().appliedFile(file.master.name, file.terminalId);

    outcome.result = DBupdate::apply(file, m_settings.DbPath);
    QString cause = outcome.result.error;
    if (cause.isEmpty() && QFileInfo::exists(applied) && !QFile::remove(applied))
        cause = QStringLiteral("%1 を削除できません").arg(applied);
    if (cause.isEmpty() && !QFile::rename(outcome.file, applied))
        cause = QStringLiteral("%1 に名前を変えられません").arg(applied);

    if (!cause.isEmpty()) {
        outcome.failure = QStringLiteral("マスタファイル %1 を更新できませんでした: %2")
                              .arg(outcome.file, cause);
        m_operator.message(outcome.failure);
        return outcome;
    }
    m_log.write(QStringLiteral("%1 を更新しました（%2 行、追加 %3 件、更新 %4 件）")
                    .arg(outcome.file)
                    .arg(outcome.result.linesRead)
                    .arg(outcome.result.rowsAdded)
                    .arg(outcome.result.rowsUpdated));
    return outcome;
}
