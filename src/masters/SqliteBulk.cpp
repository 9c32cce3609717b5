#include "SqliteBulk.h"

#include "MasterDefinitions.h"
#include "MasterSchema.h"

#include <sqlite3.h>

#include <QVarLengthArray>

namespace Bulk::Sqlite {

namespace {

using MasterSchema::quoted;

// A prepared statement, finalized when it goes; the connection must outlive
// it (Qt cannot close a connection with statements left open).
class Statement
{
public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(m_statement); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool prepare(sqlite3 *db, const QString &text, QString *error)
    {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
        const QByteArray utf8 = text.toUtf8();
        if (sqlite3_prepare_v3(db,
                               utf8.constData(),
                               int(utf8.size()),
                               SQLITE_PREPARE_PERSISTENT,
                               &m_statement,
                               nullptr)
            != SQLITE_OK) {
            *error = QString::fromUtf8(sqlite3_errmsg(db));
            return false;
        }
        return true;
    }

    sqlite3_stmt *get() const { return m_statement; }
    explicit operator bool() const { return m_statement != nullptr; }

    // Binds value to the 1-based parameter as text that lives until the
    // statement has been stepped and reset (SQLITE_STATIC: no copy). An empty
    // value is bound as empty text: a null pointer would bind a Null.
    void bind(int parameter, QByteArrayView value)
    {
        static const char empty[] = "";
        sqlite3_bind_text(m_statement,
                          parameter,
                          value.isEmpty() ? empty : value.data(),
                          int(value.size()),
                          SQLITE_STATIC);
    }

    // Steps the statement to its end and resets it; false with error set
    // when the database refused it.
    bool run(sqlite3 *db, QString *error)
    {
        const int status = sqlite3_step(m_statement);
        sqlite3_reset(m_statement);
        if (status == SQLITE_DONE)
            return true;
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }

private:
    sqlite3_stmt *m_statement = nullptr;
};

class SqliteUpsert final : public Upsert
{
public:
    explicit SqliteUpsert(sqlite3 *db)
        : m_db(db)
    { }

    bool save(const Masters::Definition &master, const Row &row, int line) override
    {
        if (m_master != &master || !m_save) {
            m_master = nullptr;
            const QStringList columns = master.terminalColumns();
            const QString text = QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                     .arg(quoted(master.name),
                                          insertColumns(columns),
                                          QStringList(columns.size(), QStringLiteral("?"))
                                              .join(QStringLiteral(", ")))
                + upsertTail(master);
            if (!m_save.prepare(m_db, text, &m_error)) {
                m_failedLines = { line, line };
                return false;
            }
            m_master = &master;
            m_columns = int(columns.size());
        }
        if (row.size() != m_columns) {
            m_error = QStringLiteral("列の数が合いません");
            m_failedLines = { line, line };
            return false;
        }
        for (int i = 0; i < m_columns; ++i)
            m_save.bind(i + 1, row.value(i));
        if (m_save.run(m_db, &m_error))
            return true;
        m_failedLines = { line, line };
        return false;
    }

    bool flush() override { return true; }
    void transactionEnded() override { }

    bool readOrdered(const Masters::Definition &master,
                     const QString &terminalId,
                     const QStringList &columns,
                     const RowSink &sink) override
    {
        // SQLite compares text by its UTF-8 bytes: code-point order.
        Statement select;
        if (!select.prepare(m_db,
                            QStringLiteral("SELECT %1 FROM %2 WHERE %3 = ? ORDER BY %4")
                                .arg(insertColumns(columns),
                                     quoted(master.name),
                                     quoted(QString::fromUtf8(Masters::TerminalIdColumn)),
                                     quoted(master.keyColumn)),
                            &m_error)) {
            return false;
        }
        const QByteArray terminal = terminalId.toUtf8();
        select.bind(1, terminal);
        sqlite3_stmt *statement = select.get();
        const int count = int(columns.size());
        QVarLengthArray<QByteArrayView, 32> values(count);
        int status;
        while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
            for (int i = 0; i < count; ++i) {
                const auto *text
                    = reinterpret_cast<const char *>(sqlite3_column_text(statement, i));
                values[i] = text ? QByteArrayView(text, sqlite3_column_bytes(statement, i))
                                 : QByteArrayView();
            }
            sink(values.constData(), count);
        }
        if (status != SQLITE_DONE) {
            m_error = QString::fromUtf8(sqlite3_errmsg(m_db));
            sqlite3_reset(statement);
            return false;
        }
        sqlite3_reset(statement);
        return true;
    }

private:
    sqlite3 *m_db;
    const Masters::Definition *m_master = nullptr;
    int m_columns = 0;
    Statement m_save;
};

class SqliteImport final : public Import
{
public:
    explicit SqliteImport(sqlite3 *db)
        : m_db(db)
    { }

    bool prepare(const Masters::Definition &master, QString *error)
    {
        const QStringList columns = master.importColumns();
        m_columns = int(columns.size());
        return m_delete.prepare(m_db,
                                QStringLiteral("DELETE FROM %1 WHERE %2 = ?")
                                    .arg(quoted(master.name), quoted(master.keyColumn)),
                                error)
            && m_insert.prepare(m_db,
                                QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                                    .arg(quoted(master.name),
                                         insertColumns(columns),
                                         QStringList(columns.size(), QStringLiteral("?"))
                                             .join(QStringLiteral(", "))),
                                error);
    }

    bool apply(qint64 line, QByteArrayView code, const Row *row) override
    {
        m_delete.bind(1, code);
        if (!m_delete.run(m_db, &m_error)) {
            m_failedLine = line;
            return false;
        }
        m_rowsDeleted += sqlite3_changes(m_db);
        if (!row)
            return true;
        for (int i = 0; i < m_columns; ++i)
            m_insert.bind(i + 1, row->value(i));
        if (!m_insert.run(m_db, &m_error)) {
            m_failedLine = line;
            return false;
        }
        ++m_rowsInserted;
        return true;
    }

    bool finish() override { return true; }

private:
    sqlite3 *m_db;
    int m_columns = 0;
    Statement m_delete;
    Statement m_insert;
};

} // namespace

std::unique_ptr<Upsert> upsert(void *handle)
{
    // A master file touches the pages of a terminal's whole table twice (the
    // merge, then the export): a cache that holds them saves re-reading them
    // from the file. The default is 2 MiB; 16 MiB holds 200,000 category rows.
    sqlite3_exec(
        static_cast<sqlite3 *>(handle), "PRAGMA cache_size = -16384", nullptr, nullptr, nullptr);
    return std::make_unique<SqliteUpsert>(static_cast<sqlite3 *>(handle));
}

std::unique_ptr<Import> import(void *handle, const Masters::Definition &master, QString *error)
{
    auto writer = std::make_unique<SqliteImport>(static_cast<sqlite3 *>(handle));
    if (!writer->prepare(master, error))
        return nullptr;
    return writer;
}

} // namespace Bulk::Sqlite
