#include "DatabaseStart.h"

#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"

DatabaseStart::DatabaseStart(const Comm::Settings &settings, bool withImport)
    : m_settingsFile(settings.settingsFile())
    , m_terminal(settings.DbPath)
    , m_maintenance(withImport ? settings.importDb : QString())
{ }

DatabaseStart::Outcome DatabaseStart::check()
{
    struct Database
    {
        const char *key;
        QString location;
        DatabaseConnection::TableMaker makeTables;
    };
    const Database databases[] = {
        { "DBname", m_terminal, MasterSchema::createTerminalTables },
        { "IMPORTDB", m_maintenance, MasterSchema::createMaintenanceTables },
    };
    m_problem.clear();
    m_made.clear();
    for (const Database &database : databases) {
        if (database.location.isEmpty())
            continue;
        DatabaseConnection connection;
        if (!connection.openForStation(database.location, database.makeTables)) {
            m_problem = QStringLiteral("設定ファイル %1 の %2: %3")
                            .arg(m_settingsFile, QLatin1String(database.key), connection.error());
            return connection.unreachable() ? Outcome::Unreachable : Outcome::Unusable;
        }
        if (!connection.made().isEmpty())
            m_made.append(connection.made());
    }
    return Outcome::Ready;
}
