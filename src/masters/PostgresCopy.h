#pragma once

#include <libpq-fe.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <charconv>
#include <cstring>
#include <memory>

// What the PostgreSQL bulk statements share on libpq: results owned and
// their errors, and the COPY FROM STDIN text both the update and the import
// stream their rows in.
namespace Bulk::Postgres {

inline constexpr Oid TextOid = 25;
// Text parameters go in binary format: a text's binary form is its bytes, so
// a value needs no terminating zero and may hold anything.
inline constexpr int Binary = 1;

struct ResultClear
{
    void operator()(PGresult *result) const { PQclear(result); }
};
// Owns a result; PQresultStatus() takes a null one for a fatal error.
using Result = std::unique_ptr<PGresult, ResultClear>;

// The server's message of a failed statement, else the connection's.
QString errorOf(PGconn *conn, const PGresult *result);
// Reads the results left after a statement until there are none.
void drain(PGconn *conn);
// Takes a statement's result: true when its status is the one wanted, else
// *error says why and the connection is drained for the next statement.
bool succeeded(PGconn *conn, PGresult *raw, ExecStatusType wanted, QString *error);
// Ends a COPY FROM STDIN; with abortReason, abandons it. True when the
// server took every line; otherwise *error says why, unless the COPY was
// abandoned, whose failure is no news.
bool endCopy(PGconn *conn, const char *abortReason, QString *error);

// Lines of COPY FROM STDIN text on their way to the server.
class CopyText
{
public:
    qsizetype size() const { return m_used; }
    void clear() { m_used = 0; }

    void number(qint64 value)
    {
        char *out = room(24);
        m_used = std::to_chars(out, out + 24, value).ptr - m_text.constData();
    }
    void raw(QByteArrayView text)
    {
        memcpy(room(text.size()), text.data(), text.size());
        m_used += text.size();
    }
    // A tab, then the value with backslash, tab, newline and carriage return
    // escaped.
    void field(QByteArrayView value)
    {
        char *out = room(1 + 2 * value.size());
        *out++ = '\t';
        for (const char c : value) {
            const char escaped = c == '\\' ? '\\'
                : c == '\t'                ? 't'
                : c == '\n'                ? 'n'
                : c == '\r'                ? 'r'
                                           : 0;
            if (escaped)
                *out++ = '\\';
            *out++ = escaped ? escaped : c;
        }
        m_used = out - m_text.constData();
    }
    // Hands the lines held to libpq a piece at a time and forgets them; false
    // when the connection failed.
    bool send(PGconn *conn);

private:
    static constexpr qsizetype PieceBytes = 1 << 20;

    // Makes room for bytes more after the used ones.
    char *room(qsizetype bytes)
    {
        if (m_text.size() < m_used + bytes)
            m_text.resize(2 * (m_used + bytes));
        return m_text.data() + m_used;
    }

    // Sized to its capacity; m_used bytes of it hold the lines.
    QByteArray m_text;
    qsizetype m_used = 0;
};

} // namespace Bulk::Postgres
