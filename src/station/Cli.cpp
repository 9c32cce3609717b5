#include "Cli.h"

#include "StationInit.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace Cli {

QString helpText()
{
    return QStringLiteral(
        "Usage: tarvinex [--station-dir DIR]\n"
        "       tarvinex COMMAND [ARGUMENTS]\n"
        "\n"
        "Without a command the station starts with its main window.\n"
        "\n"
        "Commands:\n"
        "  init DIR [--db URI] [--import-db URI]\n"
        "               lay out a new station folder: settings, data folders, databases\n"
        "               (SQLite files in DIR, or tables on a PostgreSQL server)\n"
        "  import [--station-dir DIR] MASTER...\n"
        "               import master files (BUNMAS TENMAS SIRMAS TOKMAS SHOMAS JISYA)\n"
        "               from the import folder into the maintenance database\n"
        "  serve [--station-dir DIR] [--port N]\n"
        "               the station without windows: serve terminals, print every message\n"
        "  scan [--station-dir DIR]\n"
        "               apply the master files waiting in the receive folders now\n"
        "\n"
        "Options:\n"
        "  --station-dir DIR  the station folder (default: the folder of the program)\n"
        "  --help             show this text\n"
        "\n"
        "Exit status: 0 done, 1 failed, 2 usage or settings error.");
}

QString stationDir(const QString &option)
{
    return option.isEmpty() ? QCoreApplication::applicationDirPath() : option;
}

QCommandLineOption stationDirOption()
{
    return QCommandLineOption(QStringLiteral("station-dir"),
                              QStringLiteral("The station folder."),
                              QStringLiteral("DIR"));
}

bool loadSettings(const QCommandLineParser &parser, Comm::Settings *settings, QString *error)
{
    QString problem;
    if (Comm::LoadSettings(stationDir(parser.value(stationDirOption())), settings, &problem))
        return true;
    printLine(stderr, QStringLiteral("tarvinex: ") + problem);
    if (error)
        *error = problem;
    return false;
}

int init(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption db(QStringLiteral("db"), QString(), QStringLiteral("URI"));
    const QCommandLineOption importDb(
        QStringLiteral("import-db"), QString(), QStringLiteral("URI"));
    parser.addOptions({ db, importDb });
    if (!parser.parse(QStringList { QStringLiteral("init") } + arguments)
        || parser.positionalArguments().size() != 1) {
        printLine(stderr, QStringLiteral("usage: tarvinex init DIR [--db URI] [--import-db URI]"));
        return 2;
    }
    QString message;
    const StationInit::Databases databases { parser.value(db), parser.value(importDb) };
    switch (StationInit::run(parser.positionalArguments().first(), &message, databases)) {
    case StationInit::Result::Created:
        printLine(stdout, message);
        return 0;
    case StationInit::Result::Refused:
        printLine(stderr, message);
        return 2;
    case StationInit::Result::Failed:
        break;
    }
    printLine(stderr, message);
    return 1;
}

} // namespace Cli
