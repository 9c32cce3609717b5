#include "DatabaseConnection.h"

#include "base/Comm.h"

#include "MasterSchema.h"

#include <QAtomicInteger>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

namespace {

QAtomicInteger<quint64> connectionCounter;

// A non-empty file must start with the SQLite header; anything else (an
// Access database, a text file) is not ours to open, let alone overwrite.
bool looksLikeSqlite(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.exists() || file.size() == 0)
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("データベース %1 を開けません（%2）").arg(path, file.errorString());
        return false;
    }
    static const QByteArray header("SQLite format 3\0", 16);
    if (file.read(header.size()) != header) {
        *error = QStringLiteral("%1 は SQLite データベースではありません").arg(path);
        return false;
    }
    return true;
}

// The schema a server URI selects: its "schema" parameter, or the search
// path its "options" parameter sets.
QString schemaOf(const QUrlQuery &query)
{
    const QString schema = query.queryItemValue(QStringLiteral("schema"), QUrl::FullyDecoded);
    if (!schema.isEmpty())
        return schema;
    static const QRegularExpression searchPath(QStringLiteral("-c\\s*search_path=([^\\s,]+)"));
    const QRegularExpressionMatch match
        = searchPath.match(query.queryItemValue(QStringLiteral("options"), QUrl::FullyDecoded));
    return match.hasMatch() ? match.captured(1) : QString();
}

} // namespace

DatabaseConnection::DatabaseConnection()
    : m_name(QStringLiteral("tarvinex-%1").arg(++connectionCounter))
{ }

DatabaseConnection::~DatabaseConnection()
{
    close();
}

QString DatabaseConnection::displayName(const QString &location)
{
    if (!Comm::isServerUri(location))
        return location;
    return QUrl(location).toDisplayString(QUrl::RemovePassword);
}

QString DatabaseConnection::notMadeByInit(const QString &location, const QString &what)
{
    // No advice to run init: it refuses a folder that has settings, and
    // the likelier cause is a mistyped setting.
    return QStringLiteral(
               "データベース %1 に%2がありません（ステーションのデータベースではありません）")
        .arg(displayName(location), what);
}

bool DatabaseConnection::checkTables()
{
    QStringList missing;
    QString problem;
    if (!MasterSchema::findMissingTables(m_db, &missing, &problem)) {
        m_error = QStringLiteral("データベース %1 の表を確かめられません（%2）")
                      .arg(displayName(m_location), problem);
        return false;
    }
    if (missing.isEmpty())
        return true;
    m_error = notMadeByInit(
        m_location, QStringLiteral("マスタの表 %1 ").arg(missing.join(QStringLiteral("、"))));
    return false;
}

bool DatabaseConnection::openForStation(const QString &location, TableMaker createTables)
{
    if (!Comm::isServerUri(location)) {
        if (open(location) && checkTables())
            return true;
        close();
        return false;
    }
    if (!open(location, Missing::Create))
        return false;
    QStringList missing;
    QString problem;
    if (!MasterSchema::findMissingTables(m_db, &missing, &problem)) {
        m_error = QStringLiteral("データベース %1 の表を確かめられません（%2）")
                      .arg(displayName(location), problem);
        close();
        return false;
    }
    // Made every time, as before, so that an index added later is made too;
    // only tables that were missing are news for the operator.
    if (createTables(m_db, &problem)) {
        if (!missing.isEmpty() && m_made.isEmpty()) {
            QSqlQuery current(QStringLiteral("SELECT current_schema()"), m_db);
            m_made = QStringLiteral("データベース %1 のスキーマ %2 にマスタの表を作成しました")
                         .arg(displayName(location),
                              current.next() ? current.value(0).toString() : QString());
        }
        return true;
    }
    m_error = QStringLiteral("データベース %1 にマスタの表を作れません（%2）")
                  .arg(displayName(location), problem);
    close();
    return false;
}

bool DatabaseConnection::open(const QString &location, Missing missing)
{
    close();
    m_error.clear();
    m_made.clear();
    m_madeSchema.clear();
    m_unreachable = false;
    m_location = location;
    if (location.isEmpty()) {
        m_error = QStringLiteral("データベースのパスが設定されていません");
        return false;
    }
    m_error = Comm::uriSchemeHint(location);
    if (!m_error.isEmpty())
        return false;
    return Comm::isServerUri(location) ? openServer(location, missing)
                                       : openSqlite(location, missing);
}

bool DatabaseConnection::openSqlite(const QString &path, Missing missing)
{
    m_engine = Engine::SQLite;
    if (missing == Missing::Refuse && !QFileInfo(path).isFile()) {
        m_error = QStringLiteral("データベース %1 がありません").arg(path);
        return false;
    }
    if (!looksLikeSqlite(path, &m_error))
        return false;
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    if (missing == Missing::Refuse) {
        // Opened read-write without create, so a file removed since the check
        // above is not made again.
        const QUrl uri = QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
        m_db.setDatabaseName(uri.toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI"));
    } else {
        m_db.setDatabaseName(path);
    }
    if (!m_db.open()) {
        m_error = QStringLiteral("データベース %1 を開けません（%2）")
                      .arg(path, m_db.lastError().text());
        close();
        return false;
    }
    return true;
}

bool DatabaseConnection::openServer(const QString &uri, Missing missing)
{
    m_engine = Engine::PostgreSQL;
    const QUrl url(uri);
    const QString shown = displayName(uri);
    const QString databaseName = url.path(QUrl::FullyDecoded).mid(1);
    if (!url.isValid() || url.host().isEmpty() || databaseName.isEmpty()) {
        m_error = QStringLiteral("データベース %1 の指定が正しくありません").arg(shown);
        return false;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_name);
    if (!m_db.isValid()) {
        m_error = QStringLiteral("PostgreSQL のドライバがありません（%1）").arg(shown);
        close();
        return false;
    }
    m_db.setHostName(url.host());
    if (url.port() > 0)
        m_db.setPort(url.port());
    m_db.setDatabaseName(databaseName);
    m_db.setUserName(url.userName(QUrl::FullyDecoded));
    // Without a password in the URI, the client library looks in PGPASSWORD
    // and ~/.pgpass.
    if (!url.password().isEmpty())
        m_db.setPassword(url.password(QUrl::FullyDecoded));
    const QUrlQuery query(url);
    QStringList options;
    bool timeoutGiven = false;
    for (const auto &[key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (key == QLatin1String("schema"))
            continue;
        timeoutGiven = timeoutGiven || key == QLatin1String("connect_timeout");
        options.append(key + u'=' + value);
    }
    // A server that does not answer must not hang the station.
    if (!timeoutGiven)
        options.append(QStringLiteral("connect_timeout=10"));
    m_db.setConnectOptions(options.join(u';'));
    if (!m_db.open()) {
        m_error = QStringLiteral("データベース %1 に接続できません（%2）")
                      .arg(shown, m_db.lastError().text());
        m_unreachable = true;
        close();
        return false;
    }

    QSqlQuery statement(m_db);
    // "already exists, skipping" notices are no news for the station.
    statement.exec(QStringLiteral("SET client_min_messages TO warning"));
    const QString schema = schemaOf(query);
    if (schema.isEmpty())
        return true;
    bool exists = false;
    if (!schemaExists(schema, &exists))
        return false;
    if (!exists && missing == Missing::Refuse) {
        m_error = notMadeByInit(uri, QStringLiteral("スキーマ %1 ").arg(schema));
        close();
        return false;
    }
    if (!exists) {
        if (!statement.exec(QStringLiteral("CREATE SCHEMA IF NOT EXISTS ")
                            + MasterSchema::quoted(schema))) {
            m_error = QStringLiteral("データベース %1 のスキーマ %2 を作成できません（%3）")
                          .arg(shown, schema, statement.lastError().text());
            close();
            return false;
        }
        m_made = QStringLiteral("データベース %1 にスキーマ %2 を作成しました").arg(shown, schema);
        m_madeSchema = schema;
    }
    if (!statement.exec(QStringLiteral("SET search_path TO ") + MasterSchema::quoted(schema))) {
        m_error = QStringLiteral("データベース %1 のスキーマ %2 を使えません（%3）")
                      .arg(shown, schema, statement.lastError().text());
        close();
        return false;
    }
    return true;
}

bool DatabaseConnection::schemaExists(const QString &schema, bool *exists)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT 1 FROM pg_namespace WHERE nspname = ?"));
    query.addBindValue(schema);
    if (!query.exec()) {
        m_error = QStringLiteral("データベース %1 のスキーマ %2 を使えません（%3）")
                      .arg(displayName(m_location), schema, query.lastError().text());
        close();
        return false;
    }
    *exists = query.next();
    return true;
}

void DatabaseConnection::close()
{
    if (!m_db.isValid())
        return;
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}
