#include "CommandHelp.h"

namespace Cli {

namespace {

const char *const StationDir
    = "  --station-dir DIR  the station folder (see tarvinex --help for the default)\n";

const char *const LockWait
    = "  --lock-wait SECONDS  wait this long while another process applies master\n"
      "                     files (default 600; 0 does not wait)\n";

const char *const KeyHelp
    = "Shows or replaces the link key terminals answer with.\n"
      "\n"
      "  show               print the current key, its ID and retired keys still valid\n"
      "  new                make a new key; the running station takes it when restarted\n"
      "  --keep-old DURATION  (new) the replaced key stays valid this long (7d, 36h, 90m)\n"
      "%1"
      "\n"
      "Exit status: 0 done, 1 no key (show) or it could not be written (new),\n"
      "             2 usage or settings error.";

} // namespace

QString commandHelp(const QString &command)
{
    const QString stationDir = QLatin1String(StationDir);
    if (command == QLatin1String("init"))
        return QStringLiteral(
            "Lays out a new station folder DIR: the settings (Tarvinex.ini), the data\n"
            "folders, the databases and a new link key, then prints the key and how to\n"
            "give it to a terminal.\n"
            "\n"
            "  --db URI           the terminal database: an SQLite file (default DIR/\n"
            "                     tarvinex.db) or postgresql://HOST/DB?schema=NAME\n"
            "  --import-db URI    the maintenance database, the same way (default DIR/\n"
            "                     data/0000/MasterConv.db)\n"
            "  --host-group GROUP the group the host's folders are shared with\n"
            "                     (default tarvinex-host)\n"
            "  --link-key-file FILE  take the chain's key from FILE instead of making one\n"
            "\n"
            "Exit status: 0 done, 1 the station could not be made, 2 usage error or a\n"
            "             folder that already holds a station.");
    if (command == QLatin1String("serve"))
        return QStringLiteral(
                   "Runs the station without windows: serves terminals over TCP (and the serial\n"
                   "unit UNIT names), files what they send and applies master files every hour;\n"
                   "every message goes to standard output and the log. Stops on SIGTERM.\n"
                   "\n")
            + stationDir
            + QStringLiteral(
                   "  --port N           listen on port N instead of PORT\n"
                   "  --listen ADDRESSES listen there instead of LISTEN\n"
                   "\n"
                   "Exit status: 0 stopped, 1 could not listen (the port may come free),\n"
                   "             2 usage or settings error, or another station holds the folder.");
    if (command == QLatin1String("scan"))
        return QStringLiteral("Applies the master files waiting in the terminals' receive "
                              "folders now,\nas the running station does every hour.\n\n")
            + stationDir
            + QStringLiteral("  --verbose          name each receive folder looked in\n")
            + QLatin1String(LockWait)
            + QStringLiteral(
                   "\n"
                   "Exit status: 0 done, 1 a file could not be applied, 2 usage or settings error\n"
                   "             or the masters lock not had, 3 a file still being written was\n"
                   "             left for later, 4 too little free space (MINFREE).");
    if (command == QLatin1String("import"))
        return QStringLiteral("Imports master files (named in any letter case) from the import "
                              "folder\n(IMPORTDIR) into the maintenance database (IMPORTDB).\n\n")
            + stationDir + QLatin1String(LockWait)
            + QStringLiteral(
                   "\n"
                   "Exit status: 0 done, 1 a file could not be imported (the others still are),\n"
                   "             2 usage or settings error or the masters lock not had,\n"
                   "             4 too little free space (MINFREE).");
    if (command == QLatin1String("permissions"))
        return QStringLiteral("Gives an existing station the modes and groups init gives a "
                              "new one.\n\n")
            + stationDir
            + QStringLiteral(
                   "  --host-group GROUP the group the host's folders are shared with\n"
                   "                     (default tarvinex-host)\n"
                   "\n"
                   "Exit status: 0 done, 1 something could not be changed, 2 usage or settings "
                   "error.");
    if (command.section(u' ', 0, 0) == QLatin1String("key"))
        return QString::fromLatin1(KeyHelp).arg(stationDir);
    if (command == QLatin1String("status"))
        return QStringLiteral("Tells how the station is doing, from what it keeps on disk: the "
                              "station process,\nthe link, sessions, files filed today, kept "
                              "and unfiled files, masters waiting,\nthe last applies, free "
                              "space and the last errors. It writes nothing and takes no "
                              "lock.\n\n")
            + stationDir
            + QStringLiteral("  --json             one JSON object (see tarvinex(1))\n"
                             "\n"
                             "Exit status: 0 running and well, 1 something needs attention,\n"
                             "             2 usage or settings error, 3 no station process "
                             "holds the folder.");
    return QString();
}

} // namespace Cli
