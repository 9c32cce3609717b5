#pragma once

#include "base/Comm.h"

#include <QString>
#include <QStringList>

// The databases a station's settings name, looked at when a command or the
// station starts, so that a mistyped DBname or IMPORTDB is told at once and
// not when the first master file arrives. A file is opened as the update
// opens it (never made); on a server the station's schema and tables are
// made on first use, which this usually is, and made() says so.
class DatabaseStart
{
public:
    enum class Outcome {
        Ready,
        // A file missing or without the tables, a location that is no
        // database: the settings must change (exit status 2).
        Unusable,
        // A server that cannot be reached or refuses the login: it may come
        // right by itself (exit status 1; serve and the window go on).
        Unreachable,
    };

    // The caption of what the operator is told of the databases.
    static inline const QString Caption = QStringLiteral("データベース");

    // withImport: IMPORTDB too, for whatever imports into it.
    DatabaseStart(const Comm::Settings &settings, bool withImport);

    // Looks at each database in turn, up to the first that fails.
    Outcome check();
    // Why the last check failed, naming the key and the settings file.
    QString problem() const { return m_problem; }
    // What the last check made on a server, a line each.
    QStringList made() const { return m_made; }

private:
    QString m_settingsFile;
    QString m_terminal;
    QString m_maintenance;
    QString m_problem;
    QStringList m_made;
};
