#include "MasterImport.h"

#include "BulkStatements.h"
#include "DatabaseConnection.h"
#include "FileLookup.h"
#include "MasterDefinitions.h"
#include "MasterSchema.h"
#include "SettleCheck.h"
#include "base/TextFile.h"

#include <QDir>
#include <QSqlError>
#include <QStringList>

#include <memory>

MasterImport::MasterImport(const QString &importDb, const QString &importFolder, const Clock &clock)
    : m_importDb(importDb)
    , m_importFolder(importFolder)
    , m_clock(clock)
{ }

QString MasterImport::summary(const Masters::Definition &master, const ImportCounts &counts)
{
    return QStringLiteral("%1: lines read %2, rows deleted %3, rows inserted %4, lines skipped %5")
        .arg(master.importFileName())
        .arg(counts.linesRead)
        .arg(counts.rowsDeleted)
        .arg(counts.rowsInserted)
        .arg(counts.linesSkipped);
}

bool MasterImport::run(const Masters::Definition &master)
{
    m_counts = ImportCounts();
    m_error.clear();
    const FileLookup::Match match
        = FileLookup::ignoringCase(m_importFolder, master.importFileName());
    const QString path = match.path.isEmpty()
        ? QDir(m_importFolder).filePath(master.importFileName())
        : match.path;

    const auto fail = [&](qint64 line, const QString &cause) {
        m_error = line > 0 ? QStringLiteral("%1 の %2 行目を取り込めません（%3）。"
                                            "データベースは元のままです")
                                 .arg(path)
                                 .arg(line)
                                 .arg(cause)
                           : QStringLiteral("%1 を取り込めません（%2）。データベースは元のままです")
                                 .arg(path, cause);
        return false;
    };

    const int keyIndex = master.importKeyFieldIndex();
    if (keyIndex < 0)
        return fail(
            0, QStringLiteral("%1 にコード列 %2 がありません").arg(master.name, master.keyColumn));

    // Two spellings of one name are one file to the operator: which to take
    // is theirs to say.
    if (!match.others.isEmpty())
        return fail(0,
                    QStringLiteral("%1 と同じ名前とみなすファイル %2 もあります。"
                                   "一つにしてから取り込んでください")
                        .arg(path, match.others.join(QStringLiteral("、"))));

    // One look, so only the time rule: an import is not retried by itself.
    if (SettleCheck(m_clock).beingWritten(path))
        return fail(0,
                    QStringLiteral("まだ書き込み中のようです。書き終わってから %1 秒ほど"
                                   "待って、もう一度取り込んでください")
                        .arg(SettleCheck::SettleSeconds));

    // The file first: a missing file must not touch the database.
    TextLineReader reader(path);
    if (!reader.open())
        return fail(0, reader.error());

    DatabaseConnection connection;
    if (!connection.openForStation(m_importDb, MasterSchema::createMaintenanceTables))
        return fail(0, connection.error());
    QSqlDatabase &db = connection.database();
    QString error;

    if (!db.transaction())
        return fail(0, db.lastError().text());
    // The statements go through the engine's own interface, prepared once
    // for the whole file. Declared after the connection: they go first.
    std::unique_ptr<Bulk::Import> statements;
    // Leaves the database as it was and reports where the import stopped.
    const auto abandon = [&](qint64 line, const QString &cause) {
        if (statements)
            statements->abandon(); // the connection is free for the rollback
        db.rollback();
        m_counts = ImportCounts();
        return fail(line, cause);
    };

    statements = Bulk::Import::create(connection, master, &error);
    if (!statements)
        return abandon(0, error);

    const QList<Masters::Field> &fields = master.importFields;
    Bulk::Row row;
    QString line;
    while (reader.readLine(&line)) {
        const qint64 lineNumber = ++m_counts.linesRead;
        const QStringView kind = QStringView(line).left(1);
        const bool replaces = kind == u"1" || kind == u"2";
        if (!replaces && kind != u"3") {
            ++m_counts.linesSkipped;
            continue;
        }
        row.clear();
        row.appendFields(fields, line);
        if (!statements->apply(lineNumber, row.value(keyIndex), replaces ? &row : nullptr))
            return abandon(statements->failedLine(), statements->error());
    }
    if (!reader.error().isEmpty())
        return abandon(reader.errorLine(), reader.error());
    if (!statements->finish())
        return abandon(statements->failedLine(), statements->error());
    m_counts.rowsDeleted = statements->rowsDeleted();
    m_counts.rowsInserted = statements->rowsInserted();
    statements.reset();

    if (!db.commit())
        return abandon(0, db.lastError().text());
    return true;
}
