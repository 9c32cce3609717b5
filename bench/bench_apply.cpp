// Applies a generated master file of N lines to a terminal that already has
// M rows of that master and prints lines per second and peak memory.
//
//   bench_apply [--master NAME] [--lines N] [--existing M] [--events MODE] [--shuffled]
//               [--db URI] [--floor]
//
// Every other line of the file updates an existing row, the rest add rows
// (with N = M: half update, half add). Names are realistic Japanese product,
// category and trader names, the file CP932 as terminals' hosts write it.
// The existing rows are made in a child process, so the figures printed are
// those of the one apply measured. MODE: asdefined (default), never,
// everyrow, paced (at most every 20 ms): when the update lets events run.
// Without --db the rows go to an SQLite file beside the data; with a
// PostgreSQL URI they go to a new schema on that server, dropped at the end.
//
// With --floor the database's own shell then does the same insert-or-update
// and the same ordered export from a pre-parsed CSV of the same lines, as
// ../shared/bench/apply_floor.py does (sqlite3, or psql with \copy, from
// $TARVINEX_TEST_PG_BIN or PATH), onto a table holding the same existing
// rows, and the ratio of the two is printed: the floor does no fixed-width
// cutting and no CP932. The apply is timed in this process, the floor as a
// process of its own.

#include "BenchSchema.h"
#include "base/Comm.h"
#include "base/TextFile.h"
#include "masters/BulkRow.h"
#include "masters/DBupdate.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterSchema.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

const QString Terminal = QStringLiteral("0003");

struct Item
{
    const char *kanji;
    const char *kana;
};

const Item items[] = {
    { "牛乳", "ｷﾞｭｳﾆｭｳ" },           { "食パン", "ｼｮｸﾊﾟﾝ" },      { "鶏卵", "ｹｲﾗﾝ" },
    { "玉ねぎ", "ﾀﾏﾈｷﾞ" },           { "じゃがいも", "ｼﾞｬｶﾞｲﾓ" }, { "人参", "ﾆﾝｼﾞﾝ" },
    { "濃口醤油", "ｺｲｸﾁｼｮｳﾕ" },      { "合わせ味噌", "ｱﾜｾﾐｿ" },   { "絹豆腐", "ｷﾇﾄｳﾌ" },
    { "小粒納豆", "ｺﾂﾌﾞﾅｯﾄｳ" },      { "緑茶", "ﾘｮｸﾁｬ" },         { "精白米", "ｾｲﾊｸﾏｲ" },
    { "鮭切身", "ｻｹｷﾘﾐ" },           { "豚こま切落し", "ﾌﾞﾀｺﾏ" }, { "ふじりんご", "ﾌｼﾞﾘﾝｺﾞ" },
    { "温州みかん", "ｳﾝｼｭｳﾐｶﾝ" },    { "ヨーグルト", "ﾖｰｸﾞﾙﾄ" },  { "カップ麺", "ｶｯﾌﾟﾒﾝ" },
    { "衣料用洗剤", "ｲﾘｮｳﾖｳｾﾝｻﾞｲ" }, { "ティッシュ", "ﾃｨｯｼｭ" },
};
const char *origins[] = { "北海道産", "国産", "青森県産", "長野県産", "九州産",
                          "特選",     "徳用", "無添加",   "有機",     "冷凍" };
const char *sizes[] = { "1L", "500g", "6枚切", "10個入", "1kg", "300ml", "3個，大袋", "2L" };

// Codes of the key's width, increasing with the index; base 36 where ten
// digits would not give enough codes.
QString code(qint64 index, int width)
{
    const int base = width >= 7 ? 10 : 36;
    QString text = QString::number(index, base).toUpper();
    return text.rightJustified(width, u'0');
}

QString placed(const QString &text, int width)
{
    return text.left(width).leftJustified(width, u' ');
}

// One full line of the master: the kind, the key, the names, digits elsewhere.
QString lineFor(const Masters::Definition &master, const QString &key, QRandomGenerator &random)
{
    int length = 0;
    for (const Masters::Field &field : master.fields)
        length = std::max(length, field.start + field.width - 1);
    QString line(length, u' ');
    const Item &item = items[random.bounded(int(std::size(items)))];
    int names = 0;
    for (int i = 0; i < master.fields.size(); ++i) {
        const Masters::Field &field = master.fields.at(i);
        QString text;
        if (i == 0) {
            text = random.bounded(10) == 0 ? QStringLiteral("2") : QStringLiteral("1");
        } else if (i == master.keyFieldIndex()) {
            text = key;
        } else if (field.take == Masters::Take::Name) {
            text = names++ == 0
                ? QString::fromUtf8(origins[random.bounded(int(std::size(origins)))])
                    + QString::fromUtf8(item.kanji) + u'　'
                    + QString::fromUtf8(sizes[random.bounded(int(std::size(sizes)))])
                : QString::fromUtf8(item.kana);
        } else {
            for (int d = 0; d < field.width; ++d)
                text.append(QChar(u'0' + random.bounded(10)));
        }
        line.replace(field.start - 1, field.width, placed(text, field.width));
    }
    return line;
}

bool writeMasterFile(const QString &path,
                     const Masters::Definition &master,
                     const QList<qint64> &keys,
                     quint32 seed)
{
    const int width = master.fields.at(master.keyFieldIndex()).width;
    QRandomGenerator random(seed);
    TextLineWriter writer(path);
    if (!writer.open())
        return false;
    for (qint64 key : keys)
        writer.writeLine(lineFor(master, code(key, width), random));
    return writer.commit();
}

QByteArray csvField(QByteArrayView utf8)
{
    QByteArray text = utf8.toByteArray();
    text.replace('"', "\"\"");
    return '"' + text + '"';
}

// The master file's lines as the update parses them, one CSV line each in
// the order of master.terminalColumns(): the floor's input.
bool writeCsv(const QString &masterFile, const QString &csvFile, const Masters::Definition &master)
{
    TextLineReader reader(masterFile);
    QFile csv(csvFile);
    if (!reader.open() || !csv.open(QIODevice::WriteOnly))
        return false;
    QString line;
    QByteArray out;
    Bulk::Row row;
    while (reader.readLine(&line)) {
        out = csvField(Terminal.toUtf8());
        row.clear();
        row.appendFields(master.fields, line);
        for (qsizetype i = 0; i < row.size(); ++i)
            out += ',' + csvField(row.value(i));
        out += '\n';
        if (csv.write(out) != out.size())
            return false;
    }
    return true;
}

Comm::Settings settingsFor(const QString &dir, const QString &db)
{
    const StationLayout layout = StationLayout::ofNewStation(dir);
    Comm::Settings settings;
    settings.stationDir = dir;
    settings.DbPath = db.isEmpty() ? layout.defaultTerminalDatabase() : db;
    settings.DataRoot = layout.dataRoot();
    return settings;
}

// The child: M existing rows (even codes), then the file of N lines (codes
// 0 .. N-1, so every other line meets an existing row).
int prepare(const QString &dir,
            const QString &db,
            const Masters::Definition &master,
            qint64 lines,
            qint64 existing,
            bool shuffled)
{
    const Comm::Settings settings = settingsFor(dir, db);
    if (!makeDatabase(settings.DbPath, MasterSchema::createTerminalTables))
        return 1;
    const StationLayout layout = settings.layout();
    QDir().mkpath(layout.receiveFolder(Terminal));
    const QString masterFile = layout.masterFile(master.name, Terminal);

    QList<qint64> keys;
    for (qint64 i = 0; i < existing; ++i)
        keys.append(2 * i);
    if (!writeMasterFile(masterFile, master, keys, 1)
        || !writeCsv(masterFile, dir + QStringLiteral("/existing.csv"), master))
        return 1;
    if (existing > 0) {
        QElapsedTimer timer;
        timer.start();
        const DBupdate::Result result
            = DBupdate::apply(master, settings, Terminal, DBupdate::Events::Never);
        if (!result.ok()) {
            std::fprintf(stderr, "prepare: %s\n", qPrintable(result.error));
            return 1;
        }
        std::printf("existing rows: %lld made in %.2f s\n", existing, timer.elapsed() / 1000.0);
    }

    keys.clear();
    for (qint64 i = 0; i < lines; ++i)
        keys.append(i);
    if (shuffled)
        std::shuffle(keys.begin(), keys.end(), QRandomGenerator(7));
    return writeMasterFile(masterFile, master, keys, 2)
            && writeCsv(masterFile, dir + QStringLiteral("/lines.csv"), master)
        ? 0
        : 1;
}

QString psqlProgram()
{
    const QString bin = qEnvironmentVariable("TARVINEX_TEST_PG_BIN");
    return bin.isEmpty() ? QStringLiteral("psql") : bin + QStringLiteral("/psql");
}

// The server URI as psql takes it: without the schema parameter.
QString withoutSchema(const QString &uri)
{
    QUrl url(uri);
    QUrlQuery query(url);
    query.removeAllQueryItems(QStringLiteral("schema"));
    url.setQuery(query);
    return url.toString();
}

bool runScript(const QString &program, const QStringList &arguments, const QByteArray &script)
{
    QProcess shell;
    shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    shell.setStandardOutputFile(QProcess::nullDevice());
    shell.start(program, arguments);
    if (!shell.waitForStarted(-1))
        return false;
    shell.write(script);
    shell.closeWriteChannel();
    return shell.waitForFinished(-1) && shell.exitStatus() == QProcess::NormalExit
        && shell.exitCode() == 0;
}

// The database's own shell: the existing rows loaded (not timed), then the
// lines upserted and the terminal's rows exported in key order (timed, in
// seconds; negative on failure). Statements as in apply_floor.py.
double floorSeconds(const QString &dir, const QString &server, const Masters::Definition &master)
{
    const QStringList columns = master.terminalColumns();
    QStringList definitions;
    QStringList assignments;
    QStringList selected;
    for (const QString &column : columns) {
        definitions.append(MasterSchema::quoted(column) + QStringLiteral(" text")
                           + (server.isEmpty() ? QString() : QStringLiteral(" COLLATE \"C\"")));
        if (column != columns.first()) {
            assignments.append(QStringLiteral("%1=excluded.%1").arg(MasterSchema::quoted(column)));
            selected.append(MasterSchema::quoted(column));
        }
    }
    const QString idColumn = MasterSchema::quoted(columns.first());
    const QString key = MasterSchema::quoted(master.keyColumn);
    const QString existing = dir + QStringLiteral("/existing.csv");
    const QString lines = dir + QStringLiteral("/lines.csv");
    const QString out = dir + QStringLiteral("/floor_out.csv");
    QString program;
    QStringList arguments;
    QString setup;
    QString timed;
    QString cleanup;
    if (server.isEmpty()) {
        program = QStringLiteral("sqlite3");
        arguments = { dir + QStringLiteral("/floor.db") };
        const QString table = MasterSchema::quoted(master.name);
        setup = QStringLiteral("create table %1(%2); create unique index k on %1(%3,%4); "
                               "create temp table tmp(%2);\n.mode csv\n.import %5 tmp\n"
                               "insert into %1 select * from tmp;\n")
                    .arg(table, definitions.join(u','), idColumn, key, existing);
        timed = QStringLiteral("create temp table tmp(%1);\n.mode csv\n.import %2 tmp\n"
                               "begin; insert into %3 select * from tmp where true on "
                               "conflict(%4,%5) do update set %6; commit;\n"
                               ".mode list\n.separator ,\n.output %7\n"
                               "select %8 from %3 where %4='%9' order by %5;\n")
                    .arg(definitions.join(u','),
                         lines,
                         table,
                         idColumn,
                         key,
                         assignments.join(u','),
                         out,
                         selected.join(u','),
                         Terminal);
    } else {
        program = psqlProgram();
        arguments = { QStringLiteral("-q"),
                      QStringLiteral("-v"),
                      QStringLiteral("ON_ERROR_STOP=1"),
                      withoutSchema(server) };
        const QString schema
            = QStringLiteral("bench_floor_%1").arg(QCoreApplication::applicationPid());
        const QString table = schema + u'.' + MasterSchema::quoted(master.name);
        setup = QStringLiteral("create schema %1; create table %2(%3); "
                               "create unique index on %2(%4,%5);\n"
                               "\\copy %2 from '%6' with (format csv)\n")
                    .arg(schema, table, definitions.join(u','), idColumn, key, existing);
        timed = QStringLiteral("create temp table tmp(%1);\n"
                               "\\copy tmp from '%2' with (format csv)\n"
                               "begin; insert into %3 select * from tmp on conflict(%4,%5) "
                               "do update set %6; commit;\n"
                               "\\copy (select %7 from %3 where %4='%8' order by %5) to '%9' "
                               "with (format text)\n")
                    .arg(definitions.join(u','),
                         lines,
                         table,
                         idColumn,
                         key,
                         assignments.join(u','),
                         selected.join(u','),
                         Terminal,
                         out);
        cleanup = QStringLiteral("set client_min_messages to warning; drop schema %1 cascade;\n")
                      .arg(schema);
    }
    if (!runScript(program, arguments, setup.toUtf8()))
        return -1;
    QElapsedTimer timer;
    timer.start();
    const bool ok = runScript(program, arguments, timed.toUtf8());
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!cleanup.isEmpty())
        runScript(program, arguments, cleanup.toUtf8());
    return ok ? seconds : -1;
}

double peakMiB()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

// User and system time of this process: steadier than wall time on a
// machine that other work shares.
double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption masterOption("master", "The master.", "NAME", "SHOMAS");
    const QCommandLineOption linesOption("lines", "Lines in the file.", "N", "100000");
    const QCommandLineOption existingOption("existing", "Rows the terminal has.", "M", "100000");
    const QCommandLineOption eventsOption(
        "events", "asdefined, never, everyrow, paced.", "MODE", "asdefined");
    const QCommandLineOption shuffledOption("shuffled", "Lines in random key order.");
    const QCommandLineOption dbOption(
        "db", "A PostgreSQL URI instead of an SQLite file (internal: the location).", "URI");
    const QCommandLineOption floorOption(
        "floor", "Also time the database's own shell doing the same, and print the ratio.");
    const QCommandLineOption prepareOption("prepare", "(internal) set up DIR and exit.", "DIR");
    parser.addOptions({ masterOption,
                        linesOption,
                        existingOption,
                        eventsOption,
                        shuffledOption,
                        dbOption,
                        floorOption,
                        prepareOption });
    parser.addHelpOption();
    parser.process(app);

    const Masters::Definition *master = Masters::find(parser.value(masterOption));
    const qint64 lines = parser.value(linesOption).toLongLong();
    const qint64 existing = parser.value(existingOption).toLongLong();
    if (!master || lines < 0 || existing < 0) {
        std::fprintf(stderr, "bench_apply: bad master or counts\n");
        return 2;
    }
    const int width = master->fields.at(master->keyFieldIndex()).width;
    if (code(std::max(lines, 2 * existing), width).size() > width) {
        std::fprintf(stderr,
                     "bench_apply: %s has too few codes for these counts\n",
                     qPrintable(master->name));
        return 2;
    }
    if (parser.isSet(prepareOption)) {
        return prepare(parser.value(prepareOption),
                       parser.value(dbOption),
                       *master,
                       lines,
                       existing,
                       parser.isSet(shuffledOption));
    }
    QString db = parser.value(dbOption);
    if (!db.isEmpty() && !Comm::isServerUri(db)) {
        std::fprintf(stderr, "bench_apply: --db takes a PostgreSQL URI\n");
        return 2;
    }
    if (!db.isEmpty())
        db = withOwnSchema(db, QStringLiteral("bench_apply"));

    const QString mode = parser.value(eventsOption);
    DBupdate::Events events = DBupdate::Events::AsDefined;
    if (mode == QLatin1String("never"))
        events = DBupdate::Events::Never;
    else if (mode == QLatin1String("everyrow"))
        events = DBupdate::Events::EveryRow;
    else if (mode == QLatin1String("paced"))
        events = DBupdate::Events::Paced;

    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/bench-XXXXXX"));
    QStringList arguments = { "--prepare",  dir.path(),
                              "--master",   master->name,
                              "--lines",    QString::number(lines),
                              "--existing", QString::number(existing) };
    if (parser.isSet(shuffledOption))
        arguments.append("--shuffled");
    if (!db.isEmpty())
        arguments += QStringList { "--db", db };
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitCode() != 0) {
        std::fprintf(stderr, "bench_apply: preparing failed\n");
        if (!db.isEmpty())
            dropSchema(db);
        return 1;
    }

    const double before = peakMiB();
    const double cpuBefore = cpuSeconds();
    QElapsedTimer timer;
    timer.start();
    const DBupdate::Result result
        = DBupdate::apply(*master, settingsFor(dir.path(), db), Terminal, events);
    const double seconds = timer.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    if (!db.isEmpty())
        dropSchema(db);
    if (!result.ok()) {
        std::fprintf(stderr, "bench_apply: %s\n", qPrintable(result.error));
        return 1;
    }
    std::printf(
        "%s on %s: %d lines onto %lld rows (events: %s%s): %.2f s (CPU %.2f s), %.0f lines/s; "
        "%d added, %d updated; peak memory %.1f MiB (%.1f MiB before the apply)\n",
        qPrintable(master->name),
        db.isEmpty() ? "SQLite" : "PostgreSQL",
        result.linesRead,
        existing,
        qPrintable(mode),
        parser.isSet(shuffledOption) ? ", shuffled" : "",
        seconds,
        cpu,
        result.linesRead / seconds,
        result.rowsAdded,
        result.rowsUpdated,
        peakMiB(),
        before);
    if (parser.isSet(floorOption)) {
        const double floor = floorSeconds(dir.path(), db, *master);
        if (floor < 0) {
            std::fprintf(
                stderr, "bench_apply: the floor (%s) failed\n", db.isEmpty() ? "sqlite3" : "psql");
            return 1;
        }
        std::printf("floor (%s): %.2f s; ratio=%.2f\n",
                    db.isEmpty() ? "sqlite3" : "psql",
                    floor,
                    seconds / floor);
    }
    return 0;
}
