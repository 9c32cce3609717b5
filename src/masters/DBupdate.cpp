#include "DBupdate.h"

#include "BulkRow.h"
#include "MasterDatabase.h"
#include "MasterDefinitions.h"
#include "base/Comm.h"
#include "base/FixedWidth.h"
#include "base/SafeFile.h"
#include "base/TextFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace DBupdate {

namespace {

// Lets pending events run between rows, so that the window stays responsive
// through a large file. Letting them run costs a few microseconds even when
// none are pending; at most every 20 ms keeps that cost out of a large file
// while the window still answers at once.
class EventPump
{
public:
    explicit EventPump(Events events)
        : m_events(events)
    { }

    void afterRow()
    {
        switch (m_events) {
        case Events::AsDefined:
        case Events::Never:
            return;
        case Events::EveryRow:
            QCoreApplication::processEvents();
            return;
        case Events::Paced:
            // The first row lets them run, then at most every PacedMs.
            if (m_sinceLast.isValid() && !m_sinceLast.hasExpired(PacedMs))
                return;
            QCoreApplication::processEvents();
            m_sinceLast.start();
            return;
        }
    }

private:
    static constexpr qint64 PacedMs = 20;
    Events m_events;
    QElapsedTimer m_sinceLast;
};

Events resolved(Events events, const Masters::Definition &master)
{
    if (events != Events::AsDefined)
        return events;
    return master.letsEventsRun ? Events::Paced : Events::Never;
}

QString notSaved(const MasterDatabase &db)
{
    const auto [first, last] = db.failedLines();
    if (first == last)
        return QStringLiteral("%1 行目を保存できません（%2）").arg(first).arg(db.error());
    return QStringLiteral("%1 行目から %2 行目までを保存できません（%3）")
        .arg(first)
        .arg(last)
        .arg(db.error());
}

// Merges the lines of the master file into the open transaction; saved
// counts the lines that carried a record.
bool mergeLines(const Masters::Definition &master,
                MasterDatabase &db,
                const QString &terminalId,
                const QString &path,
                Events events,
                Result *result,
                int *saved)
{
    TextLineReader reader(path);
    if (!reader.open()) {
        result->error
            = QStringLiteral("マスタファイル %1 を開けません（%2）").arg(path, reader.error());
        return false;
    }
    // Each line's values are cut straight into one reused UTF-8 row: no text
    // per value on the way to the database.
    const QByteArray terminal = terminalId.toUtf8();
    Bulk::Row row;
    EventPump pump(events);
    QString line;
    while (reader.readLine(&line)) {
        ++result->linesRead;
        if (FixedWidth::isBlank(line))
            continue;
        row.clear();
        row.append(QByteArrayView(terminal));
        row.appendFields(master.fields, line);
        if (!db.save(master, row, result->linesRead)) {
            result->error = notSaved(db);
            return false;
        }
        ++*saved;
        pump.afterRow();
    }
    // A line the reader refuses (bytes that are not CP932 would be stored as
    // characters the export cannot write back) refuses the whole file.
    if (reader.errorLine() > 0) {
        result->error = QStringLiteral("マスタファイル %1 の %2 行目を読めません（%3）")
                            .arg(path)
                            .arg(reader.errorLine())
                            .arg(reader.error());
        return false;
    }
    if (!reader.error().isEmpty()) {
        result->error
            = QStringLiteral("マスタファイル %1 を読めません（%2）").arg(path, reader.error());
        return false;
    }
    if (!db.flush()) {
        result->error = notSaved(db);
        return false;
    }
    return true;
}

// Writes the terminal's rows, ordered by key, into writer (not yet
// committed); *rows counts them.
bool writeExport(const Masters::Definition &master,
                 MasterDatabase &db,
                 const QString &terminalId,
                 TextLineWriter &writer,
                 qint64 *rows,
                 QString *error)
{
    // Each column is read as the database holds it (UTF-8) and trimmed
    // here when the export says so.
    QStringList columns;
    QList<bool> trimmed;
    for (const Masters::ExportColumn &column : master.exportColumns) {
        columns.append(column.column);
        trimmed.append(column.trimmed);
    }
    const bool ok = db.readOrdered(
        master, terminalId, columns, [&](const QByteArrayView *values, qsizetype count) {
            for (qsizetype i = 0; i < count; ++i) {
                if (i > 0)
                    writer.putUtf8(",");
                writer.putUtf8(trimmed.at(i) ? Bulk::trimmed(values[i]) : values[i]);
            }
            writer.endUtf8Line();
            ++*rows;
        });
    if (!ok)
        *error = db.error();
    return ok;
}

} // namespace

MasterFile inReceiveFolder(const Masters::Definition &master,
                           const StationLayout &layout,
                           const QString &terminalId)
{
    return { master,
             terminalId,
             layout.masterFile(master.name, terminalId),
             layout.exportFile(master.name, terminalId) };
}

Result apply(const MasterFile &file, const QString &database, Events events)
{
    Result result;
    const Masters::Definition &master = file.master;
    MasterDatabase db;
    if (!db.open(database) || !db.begin()) {
        result.error = db.error();
        return result;
    }
    const qint64 before = db.rowCount(master, file.terminalId);
    if (before < 0) {
        result.error = db.error();
        return result;
    }
    int saved = 0;
    if (!mergeLines(
            master, db, file.terminalId, file.path, resolved(events, master), &result, &saved))
        return result;
    // The export is written before the commit, so a folder that cannot take
    // it leaves the database as it was; it replaces the old export after.
    TextLineWriter writer(file.exportPath);
    if (!writer.open()) {
        result.error = QStringLiteral("エクスポート %1 を書けません（%2）")
                           .arg(file.exportPath, writer.error());
        return result;
    }
    // The export reads every row the terminal now has: it counts them too.
    qint64 after = 0;
    QString problem;
    if (!writeExport(master, db, file.terminalId, writer, &after, &problem)) {
        result.error = problem;
        return result;
    }
    // Every saved line either added a row or overwrote one.
    result.rowsAdded = int(after - before);
    result.rowsUpdated = saved - result.rowsAdded;
    if (!db.commit()) {
        result.error = db.error();
        return result;
    }
    if (!writer.commit()) {
        result.error = QStringLiteral("エクスポート %1 を書けません（%2）")
                           .arg(file.exportPath, writer.error());
        return result;
    }
    if (writer.replacedLink())
        result.notice = SafeFile::linkReplaced(file.exportPath);
    return result;
}

Result apply(const Masters::Definition &master,
             const Comm::Settings &settings,
             const QString &terminal,
             Events events)
{
    return apply(inReceiveFolder(master, settings.layout(), Comm::ZeroPad(4, terminal)),
                 settings.DbPath,
                 events);
}

namespace {

Result updateNamed(const char *name, const Comm::Settings &settings, const QString &terminal)
{
    const Masters::Definition *master = Masters::find(QLatin1String(name));
    Q_ASSERT(master);
    return apply(*master, settings, terminal);
}

} // namespace

Result UpdateBUNMAS(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("BUNMAS", settings, terminal);
}

Result UpdateTENMAS(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("TENMAS", settings, terminal);
}

Result UpdateSIRMAS(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("SIRMAS", settings, terminal);
}

Result UpdateTOKMAS(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("TOKMAS", settings, terminal);
}

Result UpdateSHOMAS(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("SHOMAS", settings, terminal);
}

Result UpdateJISYA(const Comm::Settings &settings, const QString &terminal)
{
    return updateNamed("JISYA", settings, terminal);
}

} // namespace DBupdate
