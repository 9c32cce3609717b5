#pragma once

#include "base/ByteBuffer.h"

#include <libpq-fe.h>

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <charconv>
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
    qsizetype size() const { return m_text.size(); }
    void clear() { m_text.clear(); }

    void number(qint64 value)
    {
        char *out = m_text.room(24);
        m_text.setEnd(std::to_chars(out, out + 24, value).ptr);
    }
    void raw(QByteArrayView text) { m_text.append(text); }
    // A tab, then the value with backslash, tab, newline and carriage return
    // escaped.
    void field(QByteArrayView value)
    {
        char *out = m_text.room(1 + 2 * value.size());
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
        m_text.setEnd(out);
    }
    // Hands the lines held to libpq a piece at a time and forgets them; false
    // when the connection failed.
    bool send(PGconn *conn);

private:
    static constexpr qsizetype PieceBytes = 1 << 20;

    ByteBuffer m_text;
};

} // namespace Bulk::Postgres
