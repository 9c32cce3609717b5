#include "MasterScan.h"

#include "FileLookup.h"
#include "MasterDefinitions.h"
#include "base/FreeSpace.h"
#include "base/Operator.h"
#include "base/SafeFile.h"
#include "base/StationLog.h"

#include <QCoreApplication>
#include <QFileInfo>

MasterScan::MasterScan(const Comm::Settings &settings,
                       Operator &op,
                       StationLog &log,
                       const Clock &clock)
    : m_settings(settings)
    , m_operator(op)
    , m_log(log)
    , m_settle(clock)
    , m_notices(clock)
{ }

QList<MasterScan::Outcome> MasterScan::run()
{
    QList<Outcome> outcomes;
    if (m_running)
        return outcomes;
    // An update writes the database, the exports and the log: below the
    // free-space floor the files wait for a scan with room.
    if (const QString shortage = FreeSpaceFloor(m_settings).shortage(); !shortage.isEmpty()) {
        m_operator.message(QStringLiteral("マスタファイルの更新を見送りました: ") + shortage);
        return outcomes;
    }
    m_running = true;
    const StationLayout layout = m_settings.layout();
    m_misplaced.clear();
    if (!m_noticesFile.isEmpty())
        m_notices.load(m_noticesFile);
    nameMisplaced(MisplacedFiles::inDataRoot(layout));
    QStringList waiting;
    for (int terminal = StationLayout::FirstTerminal; terminal <= StationLayout::LastTerminal;
         ++terminal) {
        const QString terminalId = Comm::terminalId(terminal);
        const QString folder = layout.receiveFolder(terminalId);
        // One listing serves the terminal's six masters.
        const QStringList entries = FileLookup::entries(folder);
        nameMisplaced(MisplacedFiles::inReceiveFolder(folder, entries));
        for (const Masters::Definition &master : Masters::all()) {
            DBupdate::MasterFile file = DBupdate::inReceiveFolder(master, layout, terminalId);
            const FileLookup::Match match = FileLookup::ignoringCase(
                folder, entries, StationLayout::masterFileName(master.name));
            if (!match.path.isEmpty()) {
                file.path = match.path;
                if (m_settle.beingWritten(file.path)) {
                    outcomes.append(waitFor(file));
                    waiting.append(file.path);
                } else {
                    outcomes.append(applyOne(file));
                }
                // One file per master and scan: the next scan takes the next.
                for (const QString &other : match.others)
                    m_operator.message(
                        QStringLiteral("マスタファイル %1 は %2 と同じ名前とみなします。"
                                       "%2 を先に扱い、%1 は次の検索で扱います")
                            .arg(other, match.path));
            }
            QCoreApplication::processEvents();
        }
    }
    m_waiting = waiting;
    QString why;
    if (!m_noticesFile.isEmpty() && !m_notices.save(m_noticesFile, &why))
        m_log.write(QStringLiteral("%1 に書き込めません: %2").arg(m_noticesFile, why));
    m_running = false;
    return outcomes;
}

MasterScan::Outcome MasterScan::waitFor(const DBupdate::MasterFile &file)
{
    Outcome outcome;
    outcome.terminalId = file.terminalId;
    outcome.master = file.master.name;
    outcome.file = file.path;
    outcome.waiting = true;
    if (!m_waiting.contains(file.path))
        m_log.write(QStringLiteral("マスタファイル %1 は書き込み中のため、書き終わるまで待ちます")
                        .arg(file.path));
    return outcome;
}

void MasterScan::nameMisplaced(const QList<MisplacedFiles::Entry> &entries)
{
    for (const MisplacedFiles::Entry &entry : entries) {
        if (!m_notices.firstToday(entry.path))
            continue;
        m_misplaced.append(entry);
        m_log.write(
            entry.meant.isEmpty()
                ? QStringLiteral("%1 は端末のフォルダではないため、中を見ません").arg(entry.path)
                : QStringLiteral("%1 はマスタファイルとして扱いません（扱う名前は %2）")
                      .arg(entry.path, entry.meant));
    }
}

MasterScan::Outcome MasterScan::applyOne(const DBupdate::MasterFile &file)
{
    Outcome outcome;
    outcome.terminalId = file.terminalId;
    outcome.master = file.master.name;
    outcome.file = file.path;
    const QString applied = m_settings.layout().appliedFile(file.master.name, file.terminalId);

    // A file applied must be renamed, or every later scan applies it again:
    // a folder that does not let it be renamed is reported before applying.
    QString cause;
    if (!QFileInfo(QFileInfo(file.path).absolutePath()).isWritable())
        cause = QStringLiteral("フォルダに書き込めないため %1 に名前を変えられません").arg(applied);
    if (cause.isEmpty()) {
        outcome.result = DBupdate::apply(file, m_settings.DbPath);
        cause = outcome.result.error;
    }
    QString keptAs = applied;
    if (cause.isEmpty() && !renameApplied(file, &keptAs))
        cause = QStringLiteral("%1 に名前を変えられません").arg(applied);

    if (!cause.isEmpty()) {
        outcome.result.error = QStringLiteral("マスタファイル %1 を更新できませんでした: %2")
                                   .arg(outcome.file, cause);
        m_operator.message(outcome.result.error);
        return outcome;
    }
    m_log.write(QStringLiteral("%1 を更新しました（%2 行、追加 %3 件、更新 %4 件）")
                    .arg(outcome.file)
                    .arg(outcome.result.linesRead)
                    .arg(outcome.result.rowsAdded)
                    .arg(outcome.result.rowsUpdated));
    if (!outcome.result.notice.isEmpty())
        m_log.write(outcome.result.notice);
    if (keptAs != applied)
        m_operator.message(
            QStringLiteral("前の %1 を置き換えられないため、更新したマスタファイル %2 を "
                           "%3 として残しました")
                .arg(applied, outcome.file, keptAs));
    return outcome;
}

// Renames the applied file to its ".sav" name, replacing the last one (a link
// standing there is replaced, never its target); when that one cannot be
// replaced, to the first free numbered ".sav" name beside it, which keptAs
// then holds.
bool MasterScan::renameApplied(const DBupdate::MasterFile &file, QString *keptAs)
{
    const StationLayout layout = m_settings.layout();
    const QString applied = layout.appliedFile(file.master.name, file.terminalId);
    const bool wasLink = SafeFile::at(applied).isLink();
    QString why;
    if (SafeFile::replace(file.path, applied, &why)) {
        if (wasLink)
            m_log.write(SafeFile::linkReplaced(applied));
        return true;
    }
    for (int n = 1; n <= MaxNumberedApplied; ++n) {
        const QString numbered = layout.appliedFile(file.master.name, file.terminalId, n);
        if (SafeFile::at(numbered).exists())
            continue;
        if (!SafeFile::moveNew(file.path, numbered, &why))
            return false;
        *keptAs = numbered;
        return true;
    }
    return false;
}
