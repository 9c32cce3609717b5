#include "MasterImport.h"

#include "DatabaseConnection.h"
#include "FileLookup.h"
#include "MasterDefinitions.h"
#include "MasterSchema.h"
#include "base/FixedWidth.h"
#include "base/TextFile.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace {

// The statements of one master, prepared once for the whole file. The columns
// are named, so the values land where the definition says whatever order the
// table was created in.
struct Statements
{
    QSqlQuery deleteCode;
    QSqlQuery insertLine;

    explicit Statements(QSqlDatabase &db)
        : deleteCode(db)
        , insertLine(db)
    { }

    bool prepare(const Masters::Definition &master, QString *error)
    {
        const QString table = MasterSchema::quoted(master.name);
        QStringList columns;
        QStringList placeholders;
        for (const QString &column : master.importColumns()) {
            columns.append(MasterSchema::quoted(column));
            placeholders.append(QStringLiteral("?"));
        }
        deleteCode.setForwardOnly(true);
        insertLine.setForwardOnly(true);
        if (!deleteCode.prepare(QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                                    .arg(table, MasterSchema::quoted(master.keyColumn)))) {
            *error = deleteCode.lastError().text();
            return false;
        }
        if (!insertLine.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                    .arg(table,
                                         columns.join(QStringLiteral(", ")),
                                         placeholders.join(QStringLiteral(", "))))) {
            *error = insertLine.lastError().text();
            return false;
        }
        return true;
    }
};

} // namespace

MasterImport::MasterImport(const QString &importDb, const QString &importFolder)
    : m_importDb(importDb)
    , m_importFolder(importFolder)
{ }

QString MasterImport::filePath(const Masters::Definition &master) const
{
    const QString found = FileLookup::ignoringCase(m_importFolder, master.importFileName()).path;
    return found.isEmpty() ? QDir(m_importFolder).filePath(master.importFileName()) : found;
}

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
    const QString path = match.path.isEmpty() ? filePath(master) : match.path;

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

    // The file first: a missing file must not touch the database.
    TextLineReader reader(path);
    if (!reader.open())
        return fail(0, reader.error());

    DatabaseConnection connection;
    if (!connection.open(m_importDb))
        return fail(0, connection.error());
    if (!connection.checkTables())
        return fail(0, connection.error());
    QSqlDatabase &db = connection.database();
    QString error;

    if (!db.transaction())
        return fail(0, db.lastError().text());
    // Leaves the database as it was and reports where the import stopped.
    const auto abandon = [&](qint64 line, const QString &cause) {
        db.rollback();
        m_counts = ImportCounts();
        return fail(line, cause);
    };

    Statements statements(db);
    if (!statements.prepare(master, &error))
        return abandon(0, error);

    const QList<Masters::Field> &fields = master.importFields;
    QString line;
    while (reader.readLine(&line)) {
        const qint64 lineNumber = ++m_counts.linesRead;
        const QString kind = FixedWidth::cut(line, 1, 1);
        const bool replaces = kind == QLatin1String("1") || kind == QLatin1String("2");
        if (!replaces && kind != QLatin1String("3")) {
            ++m_counts.linesSkipped;
            continue;
        }

        const QString code = fields.at(keyIndex).from(line);
        statements.deleteCode.bindValue(0, code);
        if (!statements.deleteCode.exec())
            return abandon(lineNumber, statements.deleteCode.lastError().text());
        m_counts.rowsDeleted += qMax(0, statements.deleteCode.numRowsAffected());
        if (!replaces)
            continue;

        for (int i = 0; i < fields.size(); ++i)
            statements.insertLine.bindValue(i, fields.at(i).from(line));
        if (!statements.insertLine.exec())
            return abandon(lineNumber, statements.insertLine.lastError().text());
        ++m_counts.rowsInserted;
    }
    if (!reader.error().isEmpty())
        return abandon(reader.errorLine(), reader.error());

    if (!db.commit())
        return abandon(0, db.lastError().text());
    return true;
}
