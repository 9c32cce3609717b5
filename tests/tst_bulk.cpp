// What the bulk path of the master update and the import can break that the
// pipeline suites do not reach: files of more rows than one batch, a refused
// line in a later batch, keys repeated across batches, values that COPY text
// escapes, and the exports of both engines side by side.

#include "EngineStation.h"
#include "MasterFiles.h"
#include "TestClock.h"
#include "TestDatabases.h"
#include "base/Cp932.h"
#include "masters/DBupdate.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterImport.h"
#include "masters/PostgresBulk.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

namespace {

const QString T3 = QStringLiteral("0003");

const Masters::Definition &master(const char *name)
{
    return *Masters::find(QLatin1String(name));
}

// A category code of four characters, one per index.
QString categoryCode(int index)
{
    return QString::number(index, 36).toUpper().rightJustified(4, u'0');
}

QString categoryLine(const QString &code, const QString &name)
{
    return QStringLiteral("1") + code + name;
}

// Rows before the first batch that starts at the largest size.
int rowsBeforeLargestBatch()
{
    int rows = 0;
    for (int batch = Bulk::Postgres::FirstBatchRows; batch < Bulk::Postgres::MaxBatchRows;
         batch *= 2)
        rows += batch;
    return rows;
}

QString pad(const QString &text, int width)
{
    return text.leftJustified(width, u' ');
}

} // namespace

class TestBulk : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<EngineStation> m_station;

    DBupdate::Result apply(const char *name)
    {
        return DBupdate::apply(master(name), m_station->settings, T3);
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_station = std::make_unique<EngineStation>(m_tmp->path());
    }

    void refusedLineInALaterBatchIsNamed_data()
    {
        QTest::addColumn<int>("lines");
        QTest::addColumn<int>("refused");
        // The other lines' codes repeat after this many lines.
        QTest::addColumn<int>("codes");
        const int first = Bulk::Postgres::FirstBatchRows;
        const int unique = std::numeric_limits<int>::max();
        QTest::newRow("second batch") << 8 * first << first + first / 2 + 7 << unique;
        const int before = rowsBeforeLargestBatch();
        QTest::newRow("a batch of the largest size")
            << before + Bulk::Postgres::MaxBatchRows + 100 << before + 700 << unique;
        QTest::newRow("the last line") << 3 * first << 3 * first << unique;
        QTest::newRow("a batch repeating its keys") << 8 * first << 2 * first + 9 << 10;
    }

    void refusedLineInALaterBatchIsNamed()
    {
        QFETCH(int, lines);
        QFETCH(int, refused);
        QFETCH(int, codes);
        QVERIFY(m_station->write(T3, "BUNMAS.dat", { categoryLine("OLD ", "旧") }));
        QVERIFY(apply("BUNMAS").ok());
        const QByteArray oldExport = m_station->bytes(T3, "BUNMAS.csv");
        QVERIFY(TestDatabases::refuseCategoryBad(m_station->settings.DbPath));

        QStringList file;
        for (int i = 1; i <= lines; ++i)
            file.append(
                categoryLine(i == refused ? QStringLiteral("BAD ") : categoryCode(i % codes),
                             QStringLiteral("品%1").arg(i)));
        QVERIFY(m_station->write(T3, "BUNMAS.dat", file));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.startsWith(QStringLiteral("%1 行目を").arg(refused)),
                 qPrintable(result.error));
        QCOMPARE(m_station->rowCount(master("BUNMAS"), T3), 1);
        QCOMPARE(m_station->bytes(T3, "BUNMAS.csv"), oldExport);
    }

    void keysRepeatedAcrossLargeBatchesKeepTheirLastLine()
    {
        // Codes 0 .. 11999, then codes 0 .. 7999 again with other names: the
        // repeats meet their first lines in earlier batches and, as the
        // batches grow, within the same one.
        const int distinct = 12000;
        const int total = 20000;
        QStringList file;
        for (int i = 0; i < total; ++i) {
            file.append(categoryLine(categoryCode(i % distinct),
                                     QStringLiteral("%1回目%2").arg(i / distinct + 1).arg(i)));
        }
        QVERIFY(m_station->write(T3, "BUNMAS.dat", file));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(result.rowsAdded, distinct);
        QCOMPARE(result.rowsUpdated, total - distinct);
        QCOMPARE(m_station->rowCount(master("BUNMAS"), T3), distinct);
        const int nameColumn = int(master("BUNMAS").terminalColumns().indexOf("分類漢字名"));
        for (const int i : { 0, 1, 4095, 4096, 7999, 8000, 11999 }) {
            const QString expected = i < total - distinct
                ? QStringLiteral("2回目%1").arg(i + distinct)
                : QStringLiteral("1回目%1").arg(i);
            QCOMPARE(m_station->row(master("BUNMAS"), T3, categoryCode(i)).value(nameColumn),
                     expected);
        }
        const QStringList exported = m_station->lines(T3, "BUNMAS.csv");
        QCOMPARE(exported.size(), distinct);
        QVERIFY(exported.first().startsWith(QStringLiteral("0000,2回目12000,")));
        QVERIFY(exported.last().startsWith(categoryCode(distinct - 1) + u','));
    }

    void valuesCopyTextEscapesAreStoredAsTheyStand()
    {
        const QString name = QStringLiteral("a\\b\tc\\N\\.d\\\\，,");
        QVERIFY(m_station->write(T3,
                                 "BUNMAS.dat",
                                 { categoryLine("A1  ", pad(name, 20)),
                                   categoryLine("\\N  ", QStringLiteral("\\")),
                                   categoryLine("A2  ", QStringLiteral("\\.")) }));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY2(result.ok(), qPrintable(result.error));
        const QString stored = QStringLiteral("a\\b\tc\\N\\.d\\\\．.");
        const int nameColumn = int(master("BUNMAS").terminalColumns().indexOf("分類漢字名"));
        QCOMPARE(m_station->row(master("BUNMAS"), T3, "A1  ").value(nameColumn), stored);
        QCOMPARE(m_station->row(master("BUNMAS"), T3, "\\N  ").value(nameColumn),
                 QStringLiteral("\\"));
        QCOMPARE(m_station->lines(T3, "BUNMAS.csv"),
                 QStringList({ "A1," + stored + ",,,,1,", "A2,\\.,,,,1,", "\\N,\\,,,,1," }));
    }

    void exportsAreByteIdenticalOnBothEngines()
    {
        if (TestDatabases::engine() != TestDatabases::PostgreSQL)
            QSKIP("compares the server with SQLite");
        QStringList file;
        const QStringList codes
            = { "1", "A", "a", "B", "ア", "ｱ", "\\", "~", "漢", "Ａ", " 9", "Z9" };
        int i = 0;
        for (const QString &code : codes) {
            file.append(categoryLine(pad(code, 4),
                                     pad(QStringLiteral("名　%1，\t\\%2").arg(code).arg(++i), 20)
                                         + QStringLiteral("1008ｶﾅ ﾒｲ,  X ")));
        }
        for (int n = 0; n < 3 * Bulk::Postgres::FirstBatchRows; ++n)
            file.append(categoryLine(categoryCode(n * 7919 % 1679616), QStringLiteral("品")));
        QVERIFY(m_station->write(T3, "BUNMAS.dat", file));
        QVERIFY(apply("BUNMAS").ok());

        QTemporaryDir other;
        StationFolder sqlite(other.path());
        QVERIFY(sqlite.write(T3, "BUNMAS.dat", file));
        QVERIFY(DBupdate::apply(master("BUNMAS"), sqlite.settings, T3).ok());

        const QByteArray server = m_station->bytes(T3, "BUNMAS.csv");
        QCOMPARE(server.count('\n'), file.size());
        QCOMPARE(server, sqlite.bytes(T3, "BUNMAS.csv"));
    }

    void importRefusedLineInALaterSyncIsNamed()
    {
        const QString importDir = m_tmp->filePath(QStringLiteral("import/"));
        QVERIFY(QDir().mkpath(importDir));
        QVERIFY(QDir().mkpath(m_tmp->path() + "/i"));
        const QString importDb = TestDatabases::freshLocation(
            TestDatabases::engine(), m_tmp->path() + "/i", TestDatabases::Tables::Maintenance);
        const Masters::Definition &products = master("SHOMAS");
        const auto writeFile = [&](const QStringList &lines) {
            QFile file(importDir + products.importFileName());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(Cp932::encode(lines.join(QStringLiteral("\r\n")) + "\r\n"));
        };
        const auto line = [](int code, const QString &inHouse) {
            return QStringLiteral("1") + pad(QString::number(code), 13) + pad(inHouse, 13);
        };

        QStringList lines;
        for (int i = 0; i < 500; ++i)
            lines.append(line(i, QStringLiteral("J%1").arg(i)));
        writeFile(lines);
        const TestClock clock;
        MasterImport importer(importDb, importDir, clock);
        QVERIFY2(importer.run(products), qPrintable(importer.error()));
        QCOMPARE(importer.counts().rowsInserted, 500);

        // 1000 lines over the 500 products: each line replaces one.
        lines.clear();
        for (int i = 0; i < 1000; ++i)
            lines.append(line(i, QStringLiteral("K%1").arg(i)));
        writeFile(lines);
        QVERIFY2(importer.run(products), qPrintable(importer.error()));
        QCOMPARE(importer.counts().rowsDeleted, 500);
        QCOMPARE(importer.counts().rowsInserted, 1000);

        // The database refuses a second product with the same in-house code,
        // met well after the first sync of the pipeline.
        QVERIFY(TestDatabases::execute(
            importDb, QStringLiteral("CREATE UNIQUE INDEX once ON \"SHOMAS\" (\"自社コード\")")));
        lines.clear();
        for (int i = 0; i < 1000; ++i)
            lines.append(line(i, i == 700 ? QStringLiteral("L1") : QStringLiteral("L%1").arg(i)));
        writeFile(lines);
        QVERIFY(!importer.run(products));
        QVERIFY2(importer.error().contains(QStringLiteral("701 行目")),
                 qPrintable(importer.error()));
        QCOMPARE(importer.counts().rowsInserted, 0);

        DatabaseConnection connection;
        QVERIFY(connection.open(importDb));
        QSqlQuery query(connection.database());
        QVERIFY(query.exec(
            QStringLiteral("SELECT COUNT(*) FROM \"SHOMAS\" WHERE \"自社コード\" LIKE 'K%'")));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), 1000);
    }
};

QTEST_GUILESS_MAIN(TestBulk)
#include "tst_bulk.moc"
