#include "Files.h"
#include "TestClock.h"
#include "TestDatabases.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "base/Cp932.h"
#include "base/StationLog.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterImport.h"
#include "masters/MasterSchema.h"
#include "masters/SettleCheck.h"
#include "station/MasterMaintenance.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString pad(const QString &text, int width)
{
    return text.leftJustified(width, u' ');
}

// A line of the master's layout: blanks everywhere, the kind at position 1,
// the code in the key field and a mark in the last field, so that two lines of
// one code can be told apart.
QString lineFor(const Masters::Definition &master,
                const QString &kind,
                const QString &code,
                const QString &mark)
{
    int length = 0;
    for (const Masters::Field &field : master.importFields)
        length = qMax(length, field.start + field.width - 1);
    QString line(length, u' ');
    line.replace(0, kind.size(), kind);
    const Masters::Field &key = master.importFields.at(master.importKeyFieldIndex());
    line.replace(key.start - 1, code.size(), code);
    const Masters::Field &last = master.importFields.last();
    line.replace(last.start - 1, mark.size(), mark);
    return line;
}

} // namespace

class TestMasterImport : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    TestClock m_clock;
    QString m_importDb;

    QString importDb() const { return m_importDb; }
    QString importDir() const { return m_dir->filePath(QStringLiteral("rcv/")); }

    Comm::Settings settings() const
    {
        Comm::Settings s;
        s.stationDir = m_dir->path();
        s.importDb = importDb();
        s.importDir = importDir();
        return s;
    }

    void writeFile(const QString &master, const QStringList &lines)
    {
        QFile file(importDir() + master + QStringLiteral(".DAT"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QString text = lines.isEmpty()
            ? QString()
            : lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
        file.write(Cp932::encode(text));
    }

    bool import(const QString &name, const QStringList &lines, MasterImport *import)
    {
        writeFile(name, lines);
        return import->run(*Masters::find(name));
    }

    // Every row of the table in key order, each column as stored; a NULL
    // shows as "<null>" so that it never passes for empty text.
    QList<QStringList> rows(const QString &table)
    {
        QList<QStringList> result;
        DatabaseConnection connection;
        if (!connection.open(importDb()))
            return result;
        const Masters::Definition *master = Masters::find(table);
        QSqlQuery query(connection.database());
        QStringList order { MasterSchema::quoted(master->keyColumn) };
        for (const QString &column : master->importColumns())
            order.append(MasterSchema::quoted(column));
        if (!query.exec(QStringLiteral("SELECT * FROM %1 ORDER BY %2")
                            .arg(MasterSchema::quoted(table), order.join(u',')))) {
            qWarning() << query.lastError().text();
            return result;
        }
        while (query.next()) {
            QStringList row;
            for (int i = 0; i < query.record().count(); ++i)
                row.append(query.isNull(i) ? QStringLiteral("<null>") : query.value(i).toString());
            result.append(row);
        }
        return result;
    }

    QString logText(const StationLog &log)
    {
        QFile file(log.currentFile());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_importDb = TestDatabases::freshLocation(
            TestDatabases::engine(), m_dir->path(), TestDatabases::Tables::Maintenance);
        QVERIFY(QDir().mkpath(importDir()));
    }

    void storesEachFieldAsItsColumnSays_data()
    {
        QTest::addColumn<QString>("master");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("expected");

        // Category: names, tax kind and rate trimmed, names keep their commas.
        QTest::newRow("BUNMAS") << "BUNMAS"
                                << "1"
                                   "0012"
                + pad(QStringLiteral(" 野菜，果物,他"), 20)
                + "1"
                  " 8 "
                + pad(QStringLiteral("ﾔｻｲ"), 10)
                + "A  " << QStringList { "1", "0012", "野菜，果物,他", "1", "8", "ﾔｻｲ", "A  " };
        QTest::newRow("BUNMAS without reserve") << "BUNMAS"
                                                << "2"
                                                   "0013"
                + pad(QStringLiteral("果物"), 20)
                + " "
                  "   "
                + pad(QString(), 10) << QStringList { "2", "0013", "果物", "", "", "", "" };

        QTest::newRow("TENMAS") << "TENMAS"
                                << "1"
                                   "007"
                + pad(QStringLiteral("本店,東口"), 15) + pad("R", 14)
                                << QStringList { "1", "007", "本店,東口", pad("R", 14) };
        QTest::newRow("TENMAS of 19 characters") << "TENMAS"
                                                 << "1"
                                                    "008"
                + pad(QStringLiteral("西口"), 15) << QStringList { "1", "008", "西口", "" };

        // Supplier and customer: the code and the kana name as cut.
        QTest::newRow("SIRMAS") << "SIRMAS"
                                << "1"
                                   "123   "
                + pad(QStringLiteral("中央食品,本社"), 20) + "1201"
                + pad(QStringLiteral("ﾁｭｳｵｳ"), 10) + "Z"
                                << QStringList { "1",
                                                 "123   ",
                                                 "中央食品,本社",
                                                 "1",
                                                 "2",
                                                 "0",
                                                 "1",
                                                 pad(QStringLiteral("ﾁｭｳｵｳ"), 10),
                                                 "Z" };
        QTest::newRow("TOKMAS of 41 characters")
            << "TOKMAS"
            << "2"
               "000456"
                + pad(QStringLiteral(" 東町商店"), 20) + "2110" + pad(QStringLiteral("ﾋｶﾞｼﾏﾁ,"), 10)
            << QStringList { "2", "000456", "東町商店", "2",
                             "1", "1",      "0",        pad(QStringLiteral("ﾋｶﾞｼﾏﾁ,"), 10),
                             "" };

        // Product: code and names trimmed, the in-house code 13 wide (taking
        // in position 27), everything from position 62 on as cut.
        const QStringList tail
            = { "0012",     " 12",      "000123",   "1",        "000012345", "0000198",
                "1",        "2",        "1",        "20240101", "008",       "2",
                "20241001", "010",      "20240301", "20240331", "000010000", "0000150",
                "20240401", "20240430", "20240501", "20240531" };
        const QString productLine = "1" + pad(QStringLiteral("  4901234"), 13)
            + "ABCDEFGHIJKL"
              "M"
            + pad(QStringLiteral("りんご，ふじ"), 20) + pad(QStringLiteral("ﾘﾝｺﾞ,ﾌｼﾞ"), 14)
            + tail.join(QString());
        QCOMPARE(productLine.size(), 181);
        QTest::newRow("SHOMAS")
            << "SHOMAS" << productLine + "EXTRA"
            << QStringList { "1", "4901234", "ABCDEFGHIJKLM", "りんご，ふじ", "ﾘﾝｺﾞ,ﾌｼﾞ" } + tail;
        QTest::newRow("SHOMAS ending early")
            << "SHOMAS"
            << "2" + pad(QStringLiteral("4901235"), 13) + pad(QStringLiteral("X1"), 13) + "梨"
            << QStringList { "2", "4901235", "X1", "梨", "" } + QStringList(22, QString(""));

        // In-house code: both codes trimmed, all thirteen characters kept.
        QTest::newRow("JISYA") << "JISYA"
                               << "1" + pad("ABC", 13) + pad("987", 13)
                               << QStringList { "1", "ABC", "987" };
        QTest::newRow("JISYA of 13 characters")
            << "JISYA"
            << "2"
               "ABCDEFGHIJKLM"
                + pad(QStringLiteral(" 4901234,5"), 13)
            << QStringList { "2", "ABCDEFGHIJKLM", "4901234,5" };
    }

    void storesEachFieldAsItsColumnSays()
    {
        QFETCH(QString, master);
        QFETCH(QString, line);
        QFETCH(QStringList, expected);

        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY2(import(master, { line }, &importer), qPrintable(importer.error()));
        QCOMPARE(rows(master), QList<QStringList> { expected });
    }

    void actsOnTheRecordKind_data()
    {
        QTest::addColumn<QString>("master");
        for (const QString &name : Masters::names())
            QTest::newRow(qPrintable(name)) << name;
    }

    void actsOnTheRecordKind()
    {
        QFETCH(QString, master);
        const Masters::Definition &m = *Masters::find(master);
        const auto line = [&m](const char *kind, const char *code, const char *mark) {
            return lineFor(
                m, QString::fromUtf8(kind), QString::fromLatin1(code), QString::fromLatin1(mark));
        };
        const auto markOf = [](const QStringList &row) {
            return row.last().trimmed();
        };

        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY(import(master, { line("1", "002", "P"), line("1", "003", "Q") }, &importer));
        QCOMPARE(rows(master).size(), 2);

        const QStringList lines = {
            line("1", "001", "A"),
            line("2", "001", "B"), // the same code again: its values win
            line("3", "002", "-"), // present: removed
            line("3", "099", "-"), // absent: nothing changes
            QString(),
            QStringLiteral("   "),
            line("１", "003", "X"), // a full-width one is no record kind
        };
        QVERIFY2(import(master, lines, &importer), qPrintable(importer.error()));
        const ImportCounts counts = importer.counts();
        QCOMPARE(counts.linesRead, 7);
        QCOMPARE(counts.rowsDeleted, 2);
        QCOMPARE(counts.rowsInserted, 2);
        QCOMPARE(counts.linesSkipped, 3);

        const QList<QStringList> result = rows(master);
        QCOMPARE(result.size(), 2);
        QCOMPARE(result.at(0).first(), QStringLiteral("2")); // the record kind comes first
        QCOMPARE(markOf(result.at(0)), QStringLiteral("B"));
        QCOMPARE(result.at(1).first(), QStringLiteral("1"));
        QCOMPARE(markOf(result.at(1)), QStringLiteral("Q"));
    }

    void storesApostrophesAsTheyStand()
    {
        // Fifteen characters at most: the width of the store name.
        const QString name = QStringLiteral("O'Brien');--");
        const QString line = "1"
                             "1'2"
            + pad(name, 15) + pad(QStringLiteral("'"), 14);
        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY2(import(QStringLiteral("TENMAS"), { line }, &importer),
                 qPrintable(importer.error()));
        const QStringList expected = { "1", "1'2", name, pad("'", 14) };
        QCOMPARE(rows(QStringLiteral("TENMAS")), QList<QStringList> { expected });

        QVERIFY(import(QStringLiteral("TENMAS"), { QStringLiteral("31'2") }, &importer));
        QCOMPARE(importer.counts().rowsDeleted, 1);
        QVERIFY(rows(QStringLiteral("TENMAS")).isEmpty());
    }

    void aRefusedLineLeavesTheDatabaseAsItWas()
    {
        const Masters::Definition &product = *Masters::find(QStringLiteral("SHOMAS"));
        const auto line = [](const char *kind, const char *code, const char *inHouse) {
            return QString::fromLatin1(kind) + pad(QString::fromLatin1(code), 13)
                + pad(QString::fromLatin1(inHouse), 13);
        };
        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY(import(
            product.name, { line("1", "100", "J100"), line("1", "200", "J200") }, &importer));
        // The database refuses a second product with the same in-house code.
        QVERIFY(TestDatabases::execute(
            importDb(), QStringLiteral("CREATE UNIQUE INDEX once ON \"SHOMAS\" (\"自社コード\")")));
        const QList<QStringList> before = rows(product.name);

        const QStringList lines = { line("3", "100", ""),
                                    line("2", "200", "J300"),
                                    line("1", "400", "J1"),
                                    line("1", "500", "J1"),
                                    line("1", "600", "J6") };
        QVERIFY(!import(product.name, lines, &importer));
        QVERIFY2(importer.error().contains(importDir() + QStringLiteral("SHOMAS.DAT")),
                 qPrintable(importer.error()));
        QVERIFY2(importer.error().contains(QStringLiteral("4 行目")), qPrintable(importer.error()));
        QVERIFY2(importer.error().contains(QStringLiteral("UNIQUE"))
                     || importer.error().contains(QStringLiteral("unique")),
                 qPrintable(importer.error()));
        QCOMPARE(importer.counts().rowsInserted, 0);
        QCOMPARE(rows(product.name), before);
    }

    // A copy caught half way is refused, not imported cut; once it has stood
    // still, the same bytes go in.
    void aFileStillBeingWrittenIsRefusedUntilItSettles()
    {
        const QString path = importDir() + QStringLiteral("TENMAS.DAT");
        QVERIFY(::writeFile(path, "1001SHOP\r\n1002"));
        QVERIFY(setModified(path, m_clock.current));
        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY(!importer.run(*Masters::find(QStringLiteral("TENMAS"))));
        QVERIFY2(importer.error().contains(path) && importer.error().contains("書き込み中"),
                 qPrintable(importer.error()));
        QVERIFY(rows(QStringLiteral("TENMAS")).isEmpty());

        m_clock.current = m_clock.current.addSecs(SettleCheck::SettleSeconds);
        QVERIFY2(importer.run(*Masters::find(QStringLiteral("TENMAS"))),
                 qPrintable(importer.error()));
        QCOMPARE(rows(QStringLiteral("TENMAS")).size(), 2);
    }

    // Bytes no CP932 table decodes refuse the file, naming the line, and
    // leave the database as it was; bytes only Windows' table decodes are
    // stored as Windows reads them.
    void readsCp932AsWindows_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("refusedLine");
        QTest::addColumn<QString>("name");
        QTest::newRow("Windows-only single bytes")
            << QByteArray("10001\x80\xa0\xfd\xf0\x40\r\n") << QString()
            << QStringLiteral("\u0080\uF8F0\uF8F1\uE000");
        QTest::newRow("unassigned pair")
            << QByteArray("10001ok\r\n10002\x85\x40\r\n") << QStringLiteral("2 行目") << QString();
        QTest::newRow("lone lead byte ending the file")
            << QByteArray("10001ok\r\n10002\x82") << QStringLiteral("2 行目") << QString();
    }

    void readsCp932AsWindows()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, refusedLine);
        QFETCH(QString, name);
        const Masters::Definition &category = *Masters::find(QStringLiteral("BUNMAS"));
        QFile file(importDir() + QStringLiteral("BUNMAS.DAT"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        MasterImport importer(importDb(), importDir(), m_clock);
        QCOMPARE(importer.run(category), refusedLine.isEmpty());
        QVERIFY2(importer.error().contains(refusedLine), qPrintable(importer.error()));
        const QList<QStringList> stored = rows(category.name);
        if (!refusedLine.isEmpty()) {
            QVERIFY(stored.isEmpty());
            return;
        }
        QCOMPARE(stored.size(), 1);
        QVERIFY2(stored.first().contains(name), qPrintable(stored.first().join(u'|')));
    }

    // The import file is found ignoring letter case; two spellings at once
    // are refused, naming both, for the operator to choose.
    void importFileIsFoundIgnoringCase_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::newRow("lower case") << QStringList { "bunmas.dat" };
        QTest::newRow("two spellings") << QStringList { "BUNMAS.DAT", "bunmas.dat" };
    }

    void importFileIsFoundIgnoringCase()
    {
        QFETCH(QStringList, names);
        for (const QString &name : names) {
            QFile file(importDir() + name);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("10001ok\r\n");
        }
        MasterImport importer(importDb(), importDir(), m_clock);
        const bool imported = importer.run(*Masters::find(QStringLiteral("BUNMAS")));
        QCOMPARE(imported, names.size() == 1);
        QCOMPARE(rows(QStringLiteral("BUNMAS")).size(), imported ? 1 : 0);
        for (const QString &name : names) {
            if (!imported)
                QVERIFY2(importer.error().contains(importDir() + name),
                         qPrintable(importer.error()));
        }
    }

    // An import file that is a link is refused by name, and nothing of the
    // file it points to is imported.
    void aLinkedImportFileIsRefused()
    {
        const QString target = m_dir->filePath(QStringLiteral("Tarvinex.ini"));
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("10001ok\r\n");
        file.close();
        const QString path = importDir() + QStringLiteral("BUNMAS.DAT");
        QVERIFY(QFile::link(target, path));
        MasterImport importer(importDb(), importDir(), m_clock);
        QVERIFY(!importer.run(*Masters::find(QStringLiteral("BUNMAS"))));
        QVERIFY2(importer.error().contains(path)
                     && importer.error().contains(QStringLiteral("シンボリックリンクです")),
                 qPrintable(importer.error()));
        QVERIFY(rows(QStringLiteral("BUNMAS")).isEmpty());
    }

    // Only init makes databases: a missing file, a mistyped database or one
    // without the tables fails, naming what is missing, and makes nothing.
    void nothingIsMadeButByInit_data()
    {
        QTest::addColumn<bool>("fileThere");
        QTest::addColumn<bool>("databaseThere");
        QTest::addColumn<QString>("named");
        QTest::newRow("missing file") << false << false << "JISYA.DAT";
        QTest::newRow("missing database") << true << false << "がありません";
        QTest::newRow("database without tables") << true << true << "JISYA";
    }

    void nothingIsMadeButByInit()
    {
        if (TestDatabases::engine() == TestDatabases::PostgreSQL)
            QSKIP("a server's schema is made on first use (tst_sharedserver)");
        QFETCH(bool, fileThere);
        QFETCH(bool, databaseThere);
        QFETCH(QString, named);
        const QString location
            = TestDatabases::freshLocation(TestDatabases::engine(), m_dir->path());
        if (databaseThere)
            QVERIFY(TestDatabases::make(location, TestDatabases::Tables::None));
        if (fileThere)
            writeFile(QStringLiteral("JISYA"), { QStringLiteral("1") + pad("J1", 13) });
        MasterImport importer(location, importDir(), m_clock);
        QVERIFY(!importer.run(*Masters::find(QStringLiteral("JISYA"))));
        QVERIFY2(importer.error().contains(named), qPrintable(importer.error()));
        QCOMPARE(TestDatabases::locationExists(location), databaseThere);
        if (databaseThere) {
            DatabaseConnection connection;
            QStringList missing;
            QString error;
            QVERIFY(connection.open(location));
            QVERIFY(MasterSchema::findMissingTables(connection.database(), &missing, &error));
            QCOMPARE(missing, Masters::names());
        }
    }

    void tellsTheOperatorWhenDone()
    {
        TestOperator op;
        const Comm::Settings s = settings();
        StationLog log(s.layout().logFolder(), m_clock);
        MasterMaintenance maintenance(s, op, log, m_clock);
        maintenance.load();
        QCOMPARE(maintenance.ImportDbPath(), importDb());
        QCOMPARE(maintenance.ImportFolder(), importDir());

        // An empty file executes nothing and is still done.
        writeFile(QStringLiteral("BUNMAS"), {});
        QVERIFY(maintenance.importMaster(*Masters::find(QStringLiteral("BUNMAS"))));
        QCOMPARE(op.shown.size(), 1);
        QCOMPARE(op.shown.first().caption, QStringLiteral("終了しました"));
        QCOMPARE(op.shown.first().text, QStringLiteral("更新終了"));

        // Lines that execute nothing are counted in the log.
        writeFile(QStringLiteral("TENMAS"),
                  { QStringLiteral("1001本店"), QString(), QStringLiteral("9002") });
        QVERIFY(maintenance.importMaster(*Masters::find(QStringLiteral("TENMAS"))));
        QVERIFY2(logText(log).contains(QStringLiteral("TENMAS.DAT: lines read 3, rows deleted 0, "
                                                      "rows inserted 1, lines skipped 2")),
                 qPrintable(logText(log)));
    }

    void tellsTheOperatorWhatFailedInsteadOfDone()
    {
        TestOperator op;
        const Comm::Settings s = settings();
        StationLog log(s.layout().logFolder(), m_clock);
        MasterMaintenance maintenance(s, op, log, m_clock);
        maintenance.load();
        QVERIFY(!maintenance.importMaster(*Masters::find(QStringLiteral("SHOMAS"))));
        QCOMPARE(op.shown.size(), 1);
        QCOMPARE(op.shown.first().caption, QString());
        QVERIFY(op.shown.first().text.contains(importDir() + QStringLiteral("SHOMAS.DAT")));
    }
};

QTEST_GUILESS_MAIN(TestMasterImport)
#include "tst_masterimport.moc"
