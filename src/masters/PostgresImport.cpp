#include "PostgresBulk.h"
#include "PostgresCopy.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

namespace Bulk::Postgres {

namespace {

using MasterSchema::quoted;

// The import's lines go with COPY into a temporary table, line number and
// record kind beside the values; then one server-side loop does, line by
// line in file order, exactly what the import does per line (the code's
// rows deleted, the line's row inserted when it replaces them), without a
// round trip per statement. A line the database refuses is named by the
// loop's hint.
class PostgresImport final : public Import
{
public:
    explicit PostgresImport(PGconn *conn)
        : m_conn(conn)
    { }

    ~PostgresImport() override { endCopy(); }

    bool prepare(const Masters::Definition &master, QString *error)
    {
        const QStringList columns = master.importColumns();
        m_columns = int(columns.size());
        const QString table = quoted(master.name);
        const QString temp = quoted(QStringLiteral("tarvinex_import_") + master.name);
        QStringList tempColumns = { QStringLiteral("tarvinex_line BIGINT"),
                                    QStringLiteral("tarvinex_replaces BOOLEAN"),
                                    QStringLiteral("tarvinex_code TEXT COLLATE \"C\"") };
        QStringList values;
        for (int i = 1; i <= m_columns; ++i) {
            tempColumns.append(QStringLiteral("v%1 TEXT COLLATE \"C\"").arg(i));
            values.append(QStringLiteral("r.v%1").arg(i));
        }
        const QByteArray create = QStringLiteral("CREATE TEMP TABLE IF NOT EXISTS %1 (%2); "
                                                 "TRUNCATE %1")
                                      .arg(temp, tempColumns.join(QStringLiteral(", ")))
                                      .toUtf8();
        m_loop = QStringLiteral(
                     "DO $tarvinex$ DECLARE r record; current bigint := 0; deleted bigint := 0; "
                     "inserted bigint := 0; n bigint; BEGIN "
                     "FOR r IN SELECT * FROM %1 ORDER BY tarvinex_line LOOP "
                     "current := r.tarvinex_line; "
                     "DELETE FROM %2 WHERE %3 = r.tarvinex_code; "
                     "GET DIAGNOSTICS n = ROW_COUNT; deleted := deleted + n; "
                     "IF r.tarvinex_replaces THEN INSERT INTO %2 (%4) VALUES (%5); "
                     "inserted := inserted + 1; END IF; "
                     "END LOOP; "
                     "PERFORM set_config('tarvinex.import_counts', deleted || ' ' || inserted, "
                     "false); "
                     "EXCEPTION WHEN OTHERS THEN RAISE EXCEPTION USING ERRCODE = SQLSTATE, "
                     "MESSAGE = SQLERRM, HINT = 'tarvinex line ' || current; "
                     "END $tarvinex$")
                     .arg(temp,
                          table,
                          quoted(master.keyColumn),
                          insertColumns(columns),
                          values.join(QStringLiteral(", ")))
                     .toUtf8();
        const QByteArray copyIn = QStringLiteral("COPY %1 FROM STDIN").arg(temp).toUtf8();
        if (!succeeded(m_conn, PQexec(m_conn, create.constData()), PGRES_COMMAND_OK, error)
            || !succeeded(m_conn, PQexec(m_conn, copyIn.constData()), PGRES_COPY_IN, error))
            return false;
        m_copying = true;
        return true;
    }

    bool apply(qint64 line, QByteArrayView code, const Row *row) override
    {
        if (m_failed || !m_copying)
            return false;
        m_copy.number(line);
        m_copy.raw(row ? "\tt" : "\tf");
        m_copy.field(code);
        for (int i = 0; i < m_columns; ++i) {
            if (row)
                m_copy.field(row->value(i));
            else
                m_copy.raw("\t\\N");
        }
        m_copy.raw("\n");
        if (m_copy.size() >= SendBytes && !m_copy.send(m_conn)) {
            // The connection failed, not the line.
            fail();
            return false;
        }
        return true;
    }

    bool finish() override
    {
        if (m_finished)
            return !m_failed;
        m_finished = true;
        if (m_failed) {
            endCopy();
            return false;
        }
        if (!m_copy.send(m_conn) || !endCopy()) {
            fail();
            return false;
        }
        {
            const Result loop(PQexec(m_conn, m_loop.constData()));
            if (PQresultStatus(loop.get()) != PGRES_COMMAND_OK) {
                m_failed = true;
                m_error = errorOf(m_conn, loop.get());
                const char *hint
                    = loop ? PQresultErrorField(loop.get(), PG_DIAG_MESSAGE_HINT) : nullptr;
                const QByteArray prefix("tarvinex line ");
                if (hint && QByteArray(hint).startsWith(prefix))
                    m_failedLine = QByteArray(hint).mid(prefix.size()).toLongLong();
                drain(m_conn);
                return false;
            }
        }
        const Result counts(PQexec(m_conn, "SELECT current_setting('tarvinex.import_counts')"));
        if (PQresultStatus(counts.get()) != PGRES_TUPLES_OK || PQntuples(counts.get()) != 1) {
            m_failed = true;
            m_error = errorOf(m_conn, counts.get());
            drain(m_conn);
            return false;
        }
        const QList<QByteArray> numbers = QByteArray(PQgetvalue(counts.get(), 0, 0)).split(' ');
        m_rowsDeleted = numbers.value(0).toLongLong();
        m_rowsInserted = numbers.value(1).toLongLong();
        return true;
    }

    void abandon() override
    {
        m_failed = true;
        m_finished = true;
        endCopy();
    }

private:
    static constexpr qsizetype SendBytes = 256 * 1024;

    // Ends the COPY, if one is open; false when it did not take the lines.
    bool endCopy()
    {
        if (!m_copying)
            return true;
        m_copying = false;
        return Postgres::endCopy(m_conn, m_failed ? "abandoned" : nullptr, &m_error);
    }

    // The connection failed: no line is to blame.
    void fail()
    {
        if (m_error.isEmpty())
            m_error = errorOf(m_conn, nullptr);
        m_failed = true;
        m_failedLine = 0;
        endCopy();
    }

    PGconn *m_conn;
    int m_columns = 0;
    QByteArray m_loop;
    CopyText m_copy;
    bool m_copying = false;
    bool m_failed = false;
    bool m_finished = false;
};

} // namespace

std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error)
{
    auto writer = std::make_unique<PostgresImport>(static_cast<PGconn *>(handle));
    if (!writer->prepare(master, error))
        return nullptr;
    return writer;
}

} // namespace Bulk::Postgres
