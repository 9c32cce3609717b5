#include "MasterScan.h"

#include "base/Operator.h"
#include "base/StationLog.h"
#include "MasterDefinitions.h"

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
    for (int terminal = FirstTerminal; terminal <= LastTerminal; ++terminal) {
        const QString terminalId = Comm::terminalId(terminal);
        const QString folder = DBupdate::receiveFolder(m_settings, terminalId);
        for (const Masters::Definition &master : Masters::all()) {
            if (QFileInfo::exists(folder + master.masterFileName()))
                outcomes.append(applyOne(terminalId, master, folder));
            QCoreApplication::processEvents();
        }
    }
    m_running = false;
    return outcomes;
}

MasterScan::Outcome MasterScan::applyOne(const QString &terminalId,
                                         const Masters::Definition &master,
                                         const QString &folder)
{
    Outcome outcome;
    outcome.terminalId = terminalId;
    outcome.master = master.name;
    outcome.file = folder + master.masterFileName();
    const QString applied = folder + master.appliedFileName();

    outcome.result = DBupdate::procedureFor(master.name)(m_settings, terminalId);
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
