#include "EngineStation.h"
#include "MasterFiles.h"
#include "TestDatabases.h"
#include "masters/BulkRow.h"
#include "masters/DBupdate.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDefinitions.h"
#include "masters/PostgresBulk.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Masters::Definition;

namespace {

const QString T3 = QStringLiteral("0003");
const QString T4 = QStringLiteral("0004");

const Definition &master(const QString &name)
{
    return *Masters::find(name);
}

int lineLength(const Definition &m)
{
    int length = 0;
    for (const Masters::Field &field : m.fields)
        length = qMax(length, field.start + field.width - 1);
    return length;
}

// The field a test changes to see which line a row holds: the first name,
// or for a master without names its last field.
int probeField(const Definition &m)
{
    for (int i = 0; i < m.fields.size(); ++i) {
        if (m.fields.at(i).take == Masters::Take::Name)
            return i;
    }
    return m.fields.size() - 1;
}

// A full-length line of the master with the kind, the key and the probe text.
QString lineOf(const Definition &m, const QString &kind, const QString &key, const QString &probe)
{
    return fixedLine(lineLength(m),
                     { { 1, kind },
                       { m.fields.at(m.keyFieldIndex()).start, key },
                       { m.fields.at(probeField(m)).start, probe } });
}

// The value the update stores for the field of the line.
QString taken(const Masters::Field &field, const QString &line)
{
    Bulk::Row row;
    row.appendField(field, line);
    return QString::fromUtf8(row.value(0));
}

// The key as the update stores it and finds the row by.
QString storedKey(const Definition &m, const QString &line)
{
    return taken(m.fields.at(m.keyFieldIndex()), line);
}

void addMasters()
{
    QTest::addColumn<QString>("name");
    for (const QString &name : Masters::names())
        QTest::newRow(qPrintable(name)) << name;
}

} // namespace

class TestDBupdate : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
    std::unique_ptr<EngineStation> m_station;

    DBupdate::Result apply(const QString &name, const QString &terminal = T3)
    {
        return DBupdate::apply(master(name), m_station->settings, terminal);
    }

    QStringList row(const QString &name, const QString &terminal, const QString &key)
    {
        return m_station->row(master(name), terminal, key);
    }

    qint64 rowCount(const QString &name, const QString &terminal = T3)
    {
        return m_station->rowCount(master(name), terminal);
    }

    QStringList exportLines(const QString &name, const QString &terminal = T3)
    {
        return m_station->lines(terminal, master(name).exportFileName());
    }

    void write(const QString &name, const QStringList &lines, const QString &terminal = T3)
    {
        QVERIFY(m_station->write(terminal, master(name).masterFileName(), lines));
    }

    int column(const QString &name, const QString &column)
    {
        return int(master(name).terminalColumns().indexOf(column));
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void init()
    {
        m_tmp = std::make_unique<QTemporaryDir>();
        m_station = std::make_unique<EngineStation>(m_tmp->path());
    }

    void appliesAFullLine_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QStringList>("stored");
        QTest::addColumn<QString>("exported");

        QTest::newRow("BUNMAS") << "BUNMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "0012" },
                                               { 6, "生鮮食品" },
                                               { 26, "1" },
                                               { 27, "010" },
                                               { 30, "ｾｲｾﾝ" },
                                               { 40, "A C" } })
                                << QStringList { "0003", "1",   "0012", "生鮮食品",
                                                 "1",    "010", "ｾｲｾﾝ", "A C" }
                                << "0012,生鮮食品,1,010,ｾｲｾﾝ,1,A C";
        // Tax kind and rate keep their spaces; only the names are trimmed.
        QTest::newRow("BUNMAS spaces")
            << "BUNMAS" << fixedLine(42, { { 1, "1" }, { 2, "7" }, { 6, " 菓子" }, { 27, " 8" } })
            << QStringList { "0003", "1", "7   ", "菓子", " ", " 8 ", "", "   " }
            << "7,菓子, , 8 ,,1,   ";
        QTest::newRow("TENMAS")
            << "TENMAS" << fixedLine(33, { { 1, "2" }, { 2, "001" }, { 5, "本店" }, { 20, "X" } })
            << QStringList { "0003", "2", "001", "本店", "X" + QString(13, u' ') } << "001,本店,2";
        QTest::newRow("SIRMAS") << "SIRMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "000123" },
                                               { 8, "中央食品" },
                                               { 28, "1201" },
                                               { 32, "ﾁｭｳｵｳ" },
                                               { 42, "F" } })
                                << QStringList { "0003", "1", "000123", "中央食品", "1",
                                                 "2",    "0", "1",      "ﾁｭｳｵｳ" }
                                << "000123,中央食品,1,2,0,1,ﾁｭｳｵｳ,1,1";
        QTest::newRow("TOKMAS") << "TOKMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "000456" },
                                               { 8, "東町商店" },
                                               { 28, "2110" },
                                               { 32, "ﾋｶﾞｼﾏﾁ" },
                                               { 42, "F" } })
                                << QStringList { "0003", "1", "000456", "東町商店", "2",
                                                 "1",    "1", "0",      "ﾋｶﾞｼﾏﾁ",   "F" }
                                << "000456,東町商店,2,1,1,0,ﾋｶﾞｼﾏﾁ,1";
        // Position 27 is not read.
        const QString product = QStringLiteral("1"
                                               "4901234567894"
                                               "ABCDEFGHIJKL"
                                               "Z")
            + QStringLiteral("北海道産じゃがいも") + QString(11, u' ')
            + QStringLiteral("ﾎｯｶｲﾄﾞｳｼﾞｬｶﾞ  ")
            + QStringLiteral("0012"
                             "012"
                             "000123"
                             "1"
                             "000012345"
                             "0019800"
                             "1"
                             "2"
                             "1"
                             "20190101"
                             "008"
                             "2"
                             "20191001"
                             "010"
                             "20261201"
                             "20261231"
                             "000010000"
                             "0015800"
                             "20270101"
                             "20270107"
                             "20270201"
                             "20270228");
        QTest::newRow("SHOMAS")
            << "SHOMAS" << product
            << QStringList { "0003",
                             "1",
                             "4901234567894",
                             "ABCDEFGHIJKL",
                             "北海道産じゃがいも",
                             "ﾎｯｶｲﾄﾞｳｼﾞｬｶﾞ",
                             "0012",
                             "012",
                             "000123",
                             "1",
                             "000012345",
                             "0019800",
                             "1",
                             "2",
                             "1",
                             "20190101",
                             "008",
                             "2",
                             "20191001",
                             "010",
                             "20261201",
                             "20261231",
                             "000010000",
                             "0015800",
                             "20270101",
                             "20270107",
                             "20270201",
                             "20270228" }
            << "4901234567894,ABCDEFGHIJKL,北海道産じゃがいも,ﾎｯｶｲﾄﾞｳｼﾞｬｶﾞ,0012,012,000123,1,"
               "000012345,0019800,1,2,1,20190101,008,2,20191001,010,20261201,20261231,"
               "000010000,0015800,20270101,20270107,20270201,20270228,1";
        QTest::newRow("JISYA") << "JISYA"
                               << fixedLine(27, { { 1, "1" }, { 2, "ABC" }, { 15, "987" } })
                               << QStringList { "0003", "1", "ABC", "987" } << "ABC,987,1";
    }

    void appliesAFullLine()
    {
        QFETCH(QString, name);
        QFETCH(QString, line);
        QFETCH(QStringList, stored);
        QFETCH(QString, exported);
        if (name == QLatin1String("SHOMAS"))
            QCOMPARE(line.size(), 181);

        write(name, { line });
        const DBupdate::Result result = apply(name);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(result.linesRead, 1);
        QCOMPARE(result.rowsAdded, 1);
        QCOMPARE(row(name, T3, stored.at(column(name, master(name).keyColumn))), stored);
        QCOMPARE(exportLines(name), QStringList { exported });
        // The master file stays where it is; renaming it is the scan's business.
        QVERIFY(m_station->exists(T3, master(name).masterFileName()));
    }

    // A line that ends before its key has an empty key, like any other key:
    // two such lines make one row, not two rows the unique index cannot tell apart.
    void linesWithoutAKeyShareOneRow_data() { addMasters(); }
    void linesWithoutAKeyShareOneRow()
    {
        QFETCH(QString, name);
        write(name, { QStringLiteral("1"), QStringLiteral("2") });
        const DBupdate::Result result = apply(name);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(rowCount(name), 1);
        QCOMPARE(row(name, T3, QStringLiteral("")).value(column(name, "有効区分")),
                 QStringLiteral("2"));
    }

    void sameKeyTwiceKeepsTheLaterLine_data() { addMasters(); }
    void sameKeyTwiceKeepsTheLaterLine()
    {
        QFETCH(QString, name);
        const Definition &m = master(name);
        const QString first = lineOf(m, "1", "K1", "旧名");
        const QString later = lineOf(m, "2", "K1", "新名");
        write(name, { first, lineOf(m, "1", "K2", "別"), later });
        const DBupdate::Result result = apply(name);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(result.rowsAdded, 2);
        QCOMPARE(result.rowsUpdated, 1);
        QCOMPARE(rowCount(name), 2);
        const QStringList stored = row(name, T3, storedKey(m, later));
        QCOMPARE(stored.value(column(name, "有効区分")), QStringLiteral("2"));
        QCOMPARE(stored.value(probeField(m) + 1), taken(m.fields.at(probeField(m)), later));
        QCOMPARE(exportLines(name).size(), 2);

        // Applying the file again overwrites both rows and adds none.
        const DBupdate::Result again = apply(name);
        QCOMPARE(again.rowsAdded, 0);
        QCOMPARE(again.rowsUpdated, 3);
        QCOMPARE(rowCount(name), 2);
    }

    void kindThreeIsStoredAndExported_data() { addMasters(); }
    void kindThreeIsStoredAndExported()
    {
        QFETCH(QString, name);
        const Definition &m = master(name);
        write(name, { lineOf(m, "1", "K1", "名") });
        QVERIFY(apply(name).ok());
        write(name, { lineOf(m, "3", "K1", "名") });
        QVERIFY(apply(name).ok());

        QCOMPARE(rowCount(name), 1);
        const QStringList fields = exportLines(name).value(0).split(u',');
        QCOMPARE(fields.size(), m.exportColumns.size());
        for (int i = 0; i < m.exportColumns.size(); ++i) {
            if (m.exportColumns.at(i).column == QLatin1String("有効区分"))
                QCOMPARE(fields.at(i), QStringLiteral("3"));
        }
    }

    void otherTerminalsRowsAreNeitherTouchedNorExported_data() { addMasters(); }
    void otherTerminalsRowsAreNeitherTouchedNorExported()
    {
        QFETCH(QString, name);
        const Definition &m = master(name);
        const QString theirs = lineOf(m, "1", "K1", "四番");
        write(name, { theirs }, T4);
        QVERIFY(apply(name, T4).ok());
        const QStringList before = row(name, T4, storedKey(m, theirs));
        const QStringList theirExport = exportLines(name, T4);

        write(name, { lineOf(m, "2", "K1", "三番") });
        const DBupdate::Result result = apply(name);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(result.rowsAdded, 1);
        QCOMPARE(row(name, T4, storedKey(m, theirs)), before);
        QCOMPARE(exportLines(name, T4), theirExport);
        QCOMPARE(exportLines(name).size(), 1);
        QCOMPARE(rowCount(name), 1);
        QCOMPARE(rowCount(name, T4), 1);
    }

    void keyPaddedWithSpaces_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("exported");
        const auto padded = [](int width) {
            return QStringLiteral("12").leftJustified(width);
        };
        QTest::newRow("BUNMAS") << "BUNMAS" << padded(4) << "12";
        QTest::newRow("TENMAS") << "TENMAS" << padded(3) << "12";
        QTest::newRow("SIRMAS") << "SIRMAS" << padded(6) << padded(6);
        QTest::newRow("TOKMAS") << "TOKMAS" << padded(6) << padded(6);
        QTest::newRow("SHOMAS") << "SHOMAS" << padded(13) << "12";
        QTest::newRow("JISYA") << "JISYA"
                               << "12"
                               << "12";
    }

    void keyPaddedWithSpaces()
    {
        QFETCH(QString, name);
        QFETCH(QString, stored);
        QFETCH(QString, exported);
        const Definition &m = master(name);
        write(name, { lineOf(m, "1", "12", "名") });
        QVERIFY(apply(name).ok());
        QVERIFY(!row(name, T3, stored).isEmpty());
        if (stored != QLatin1String("12"))
            QVERIFY(row(name, T3, QStringLiteral("12")).isEmpty());
        QCOMPARE(exportLines(name).value(0).section(u',', 0, 0), exported);
    }

    void shortLineGivesEmptyFields_data() { addMasters(); }
    void shortLineGivesEmptyFields()
    {
        QFETCH(QString, name);
        const Definition &m = master(name);
        const Masters::Field &key = m.fields.at(m.keyFieldIndex());
        // The line ends with the key: every later field is empty.
        const QString line
            = fixedLine(key.start + key.width - 1, { { 1, "1" }, { key.start, "K" } });
        write(name, { line });
        QVERIFY(apply(name).ok());
        const QStringList stored = row(name, T3, storedKey(m, line));
        QCOMPARE(stored.size(), m.fields.size() + 1);
        for (int i = m.keyFieldIndex() + 1; i < m.fields.size(); ++i)
            QCOMPARE(stored.at(i + 1), QString());
        QCOMPARE(exportLines(name).value(0).count(u','), m.exportColumns.size() - 1);
    }

    void commasInNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("exported");
        QTest::newRow("BUNMAS") << "BUNMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "0001" },
                                               { 6, "青果,果物，国産" },
                                               { 26, "1010" },
                                               { 30, "ｾｲｶ,ｸﾀﾞ" },
                                               { 40, "a,b" } })
                                << "0001,青果.果物．国産,1,010,ｾｲｶ.ｸﾀﾞ,1,a,b";
        QTest::newRow("TENMAS") << "TENMAS"
                                << fixedLine(33, { { 1, "1" }, { 2, "001" }, { 5, "本店,東" } })
                                << "001,本店.東,1";
        QTest::newRow("SIRMAS") << "SIRMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "000123" },
                                               { 8, "中央，食品" },
                                               { 28, "1201" },
                                               { 32, "ﾁｭｳ,ｵｳ" } })
                                << "000123,中央．食品,1,2,0,1,ﾁｭｳ.ｵｳ,1,1";
        QTest::newRow("TOKMAS") << "TOKMAS"
                                << fixedLine(42,
                                             { { 1, "1" },
                                               { 2, "000456" },
                                               { 8, "東町,商店" },
                                               { 28, "2110" },
                                               { 32, "ﾋｶﾞｼ，ﾏﾁ" } })
                                << "000456,東町.商店,2,1,1,0,ﾋｶﾞｼ．ﾏﾁ,1";
        QTest::newRow("SHOMAS") << "SHOMAS"
                                << fixedLine(61,
                                             { { 1, "1" },
                                               { 2, "4901234567894" },
                                               { 28, "牛乳,1L，紙" },
                                               { 48, "ｷﾞｭｳﾆｭｳ,1L" } })
                                << "4901234567894,,牛乳.1L．紙,ｷﾞｭｳﾆｭｳ.1L" + QString(23, u',')
                + "1";
        // No CommaToPeriod in the in-house code master.
        QTest::newRow("JISYA") << "JISYA"
                               << fixedLine(27, { { 1, "1" }, { 2, "A,B" }, { 15, "9,8" } })
                               << "A,B,9,8,1";
    }

    void commasInNames()
    {
        QFETCH(QString, name);
        QFETCH(QString, line);
        QFETCH(QString, exported);
        write(name, { line });
        QVERIFY(apply(name).ok());
        QCOMPARE(exportLines(name), QStringList { exported });
    }

    void apostrophesAreStoredAsTheyStand_data() { addMasters(); }
    void apostrophesAreStoredAsTheyStand()
    {
        QFETCH(QString, name);
        const Definition &m = master(name);
        const QString line = lineOf(m, "1", "O'1", "O'Neil's");
        write(name, { line, line });
        const DBupdate::Result result = apply(name);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(rowCount(name), 1);
        const QStringList stored = row(name, T3, storedKey(m, line));
        QCOMPARE(stored.value(probeField(m) + 1), QStringLiteral("O'Neil's"));
        QVERIFY(exportLines(name).value(0).contains(QStringLiteral("O'Neil's")));
    }

    void blankLinesCarryNoRecord()
    {
        write("BUNMAS", { "", "1A1  果物", "    ", "　　", "1A2  野菜" });
        const DBupdate::Result result = apply("BUNMAS");
        QCOMPARE(result.linesRead, 5);
        QCOMPARE(result.rowsAdded, 2);
        QCOMPARE(rowCount("BUNMAS"), 2);
        QVERIFY(row("BUNMAS", T3, QString()).isEmpty());
        QCOMPARE(exportLines("BUNMAS"), QStringList({ "A1,果物,,,,1,", "A2,野菜,,,,1," }));
    }

    void emptyFileRewritesTheExportFromExistingRows()
    {
        // A terminal without rows gets an empty export.
        write("BUNMAS", {});
        QVERIFY(apply("BUNMAS").ok());
        QVERIFY(m_station->exists(T3, "BUNMAS.csv"));
        QCOMPARE(m_station->bytes(T3, "BUNMAS.csv"), QByteArray());

        write("BUNMAS", { "1A1  果物" });
        QVERIFY(apply("BUNMAS").ok());
        QVERIFY(m_station->writeBytes(T3, "BUNMAS.csv", "stale\r\n"));
        write("BUNMAS", {});
        const DBupdate::Result result = apply("BUNMAS");
        QCOMPARE(result.linesRead, 0);
        QCOMPARE(exportLines("BUNMAS"), QStringList { "A1,果物,,,,1," });
    }

    void exportIsReplacedNeverAppended()
    {
        write("BUNMAS", { "1A1  果物" });
        QVERIFY(apply("BUNMAS").ok());
        QVERIFY(apply("BUNMAS").ok());
        QCOMPARE(exportLines("BUNMAS"), QStringList { "A1,果物,,,,1," });
    }

    void exportIsCp932WithCrLfInCodePointOrder()
    {
        // Half-width ｱ (U+FF71) sorts after katakana ア (U+30A2), lower case
        // after upper case, digits first.
        write("BUNMAS",
              { "1ｱ   半角", "1a   小", "1B   大", "1ア   全角", "11   数", "1A   食品" });
        QVERIFY(apply("BUNMAS").ok());
        QCOMPARE(exportLines("BUNMAS").join(u'|'),
                 QStringLiteral(
                     "1,数,,,,1,|A,食品,,,,1,|B,大,,,,1,|a,小,,,,1,|ア,全角,,,,1,|ｱ,半角,,,,1,"));
        const QByteArray bytes = m_station->bytes(T3, "BUNMAS.csv");
        QVERIFY(bytes.contains(QByteArray("A,\x90\x48\x95\x69,,,,1,\r\n")));
        QVERIFY(bytes.contains(QByteArray("\xb1,\x94\xbc\x8a\x70,,,,1,\r\n")));
    }

    void productCodesDifferingOnlyInPaddingAreTwoProducts()
    {
        write("SHOMAS",
              { fixedLine(61, { { 1, "1" }, { 2, "123" }, { 28, "右詰め" } }),
                fixedLine(61, { { 1, "1" }, { 5, "123" }, { 28, "左詰め" } }) });
        QCOMPARE(apply("SHOMAS").rowsAdded, 2);
        QCOMPARE(exportLines("SHOMAS").size(), 2);
    }

    void inHouseCodeFoundByItsStoredForm()
    {
        // Position 14 is not blank: the code stored is the twelve characters
        // before it, trimmed, and applying the file again finds that row.
        const QString line
            = fixedLine(27, { { 1, "1" }, { 2, "ABC" }, { 14, "X" }, { 15, "987" } });
        write("JISYA", { line });
        QVERIFY(apply("JISYA").ok());
        const DBupdate::Result again = apply("JISYA");
        QCOMPARE(again.rowsAdded, 0);
        QCOMPARE(again.rowsUpdated, 1);
        QCOMPARE(rowCount("JISYA"), 1);
        QCOMPARE(exportLines("JISYA"), QStringList { "ABC,987,1" });
    }

    void failureMidFileChangesNothing()
    {
        write("BUNMAS", { "1A1  果物" });
        QVERIFY(apply("BUNMAS").ok());
        const QByteArray oldExport = m_station->bytes(T3, "BUNMAS.csv");
        QVERIFY(TestDatabases::refuseCategoryBad(m_station->settings.DbPath));

        write("BUNMAS", { "2A1  果物改", "1A2  野菜", "1BAD 不良", "1A3  魚" });
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(QStringLiteral("3 行目")), qPrintable(result.error));
        QCOMPARE(rowCount("BUNMAS"), 1);
        QCOMPARE(row("BUNMAS", T3, "A1  ").value(1), QStringLiteral("1"));
        QCOMPARE(m_station->bytes(T3, "BUNMAS.csv"), oldExport);
    }

    void repeatedKeysWithinAndAcrossStatements()
    {
        // Rows go to the database many to a statement: each key comes back
        // within one statement's rows and in later ones, and the last line of
        // a key is what stays.
        const Definition &m = master("BUNMAS");
        QStringList lines;
        for (int i = 0; i < 5 * Bulk::Postgres::FirstBatchRows; ++i)
            lines.append(lineOf(m, "1", QString::number(i % 40), QStringLiteral("名%1").arg(i)));
        write("BUNMAS", lines);
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(result.rowsAdded, 40);
        QCOMPARE(result.rowsUpdated, lines.size() - 40);
        for (int key = 0; key < 40; ++key) {
            const QString last = lines.at(lines.size() - 40 + key);
            QCOMPARE(row("BUNMAS", T3, storedKey(m, last)).value(probeField(m) + 1),
                     taken(m.fields.at(probeField(m)), last));
        }
        QCOMPARE(exportLines("BUNMAS").size(), 40);
    }

    void refusedRowAmongManyIsNamedByItsLine()
    {
        write("BUNMAS", { "1A1  果物" });
        QVERIFY(apply("BUNMAS").ok());
        QVERIFY(TestDatabases::refuseCategoryBad(m_station->settings.DbPath));
        QStringList lines;
        for (int i = 1; i <= 3 * Bulk::Postgres::FirstBatchRows; ++i)
            lines.append(i == 100 ? QStringLiteral("1BAD 不良") : QStringLiteral("1%1  品").arg(i));
        write("BUNMAS", lines);
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.startsWith(QStringLiteral("100 行目を")), qPrintable(result.error));
        QCOMPARE(rowCount("BUNMAS"), 1);
    }

    void refusesADatabaseThatIsNotSqlite()
    {
        if (TestDatabases::engine() != TestDatabases::SQLite)
            QSKIP("a file database only");
        static const char header[] = "\x00\x01\x00\x00Standard Jet DB";
        const QByteArray access(header, sizeof header);
        QFile mdb(m_station->settings.DbPath);
        QVERIFY(mdb.open(QIODevice::WriteOnly));
        mdb.write(access);
        mdb.close();

        write("BUNMAS", { "1A1  果物" });
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(m_station->settings.DbPath), qPrintable(result.error));
        QVERIFY(mdb.open(QIODevice::ReadOnly));
        QCOMPARE(mdb.readAll(), access);
        QVERIFY(!m_station->exists(T3, "BUNMAS.csv"));
    }

    // A mistyped database, or one without the tables, is refused, naming
    // the database and init, and nothing is made or exported.
    void aDatabaseInitDidNotMakeIsRefused_data()
    {
        QTest::addColumn<bool>("databaseThere");
        QTest::newRow("not there") << false;
        QTest::newRow("without tables") << true;
    }

    void aDatabaseInitDidNotMakeIsRefused()
    {
        if (TestDatabases::engine() == TestDatabases::PostgreSQL)
            QSKIP("a server's schema is made on first use (tst_sharedserver)");
        QFETCH(bool, databaseThere);
        const QString location
            = TestDatabases::freshLocation(TestDatabases::engine(), m_tmp->path());
        if (databaseThere)
            QVERIFY(TestDatabases::make(location, TestDatabases::Tables::None));
        m_station->settings.DbPath = location;
        write("BUNMAS", { "1A1  果物" });
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(DatabaseConnection::displayName(location))
                     && result.error.contains(QStringLiteral("がありません")),
                 qPrintable(result.error));
        QCOMPARE(TestDatabases::locationExists(location), databaseThere);
        QCOMPARE(rowCount("BUNMAS"), -1);
        QVERIFY(!m_station->exists(T3, "BUNMAS.csv"));
    }

    void exportThatCannotBeWrittenChangesNothing()
    {
        write("BUNMAS", { "1A1  果物" });
        QVERIFY(QDir().mkpath(m_station->path(T3, "BUNMAS.csv")));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(QStringLiteral("BUNMAS.csv")), qPrintable(result.error));
        QCOMPARE(rowCount("BUNMAS"), 0);
    }

    // A line no CP932 table decodes refuses the whole file, naming the line.
    void undecodableBytesRefuseTheFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("line");
        QTest::newRow("lone lead byte ending a line")
            << QByteArray("1A1  \x82\r\n1A2  ok\r\n") << QStringLiteral("1 行目");
        QTest::newRow("unassigned pair")
            << QByteArray("1A1  ok\r\n1A2  \x85\x40\r\n") << QStringLiteral("2 行目");
        QTest::newRow("lone lead byte ending the file")
            << QByteArray("1A1  ok\r\n1A2  \x82") << QStringLiteral("2 行目");
    }

    void undecodableBytesRefuseTheFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, line);
        QVERIFY(m_station->writeBytes(T3, "BUNMAS.dat", bytes));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(QStringLiteral("BUNMAS.dat")), qPrintable(result.error));
        QVERIFY2(result.error.contains(line), qPrintable(result.error));
        QCOMPARE(rowCount("BUNMAS"), 0);
        QVERIFY(!m_station->exists(T3, "BUNMAS.csv"));
    }

    // Bytes Windows decodes though ICU's table lacks them, and the
    // user-defined area, are stored and written back as the same bytes.
    void windowsOnlyBytesComeBackUnchanged()
    {
        QVERIFY(
            m_station->writeBytes(T3, "BUNMAS.dat", "1A1  \x80\xa0\xfd\xfe\xff\x1a\xf0\x40\r\n"));
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY2(result.ok(), qPrintable(result.error));
        QVERIFY(
            m_station->bytes(T3, "BUNMAS.csv").startsWith("A1,\x80\xa0\xfd\xfe\xff\x1a\xf0\x40,"));
    }

    void missingMasterFileIsAFailure()
    {
        const DBupdate::Result result = apply("BUNMAS");
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(QStringLiteral("BUNMAS.dat")), qPrintable(result.error));
    }

    void onlyTheProductUpdateLetsEventsRun_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("eventsRan");
        for (const Definition &m : Masters::all())
            QTest::newRow(qPrintable(m.name)) << m.name << (m.name == QLatin1String("SHOMAS"));
    }

    void onlyTheProductUpdateLetsEventsRun()
    {
        QFETCH(QString, name);
        QFETCH(bool, eventsRan);
        const Definition &m = master(name);
        write(name, { lineOf(m, "1", "K1", "名"), lineOf(m, "1", "K2", "名") });
        bool ran = false;
        QTimer::singleShot(0, this, [&ran] { ran = true; });
        QVERIFY(apply(name).ok());
        QCOMPARE(ran, eventsRan);
        QTRY_VERIFY(ran);
    }

    // Each fixed name updates its own master, for a terminal ID given
    // without its padding.
    void namedUpdatesApplyTheirMaster_data()
    {
        using Update = DBupdate::Result (*)(const Comm::Settings &, const QString &);
        QTest::addColumn<QString>("name");
        QTest::addColumn<Update>("update");
        QTest::newRow("BUNMAS") << "BUNMAS" << &DBupdate::UpdateBUNMAS;
        QTest::newRow("TENMAS") << "TENMAS" << &DBupdate::UpdateTENMAS;
        QTest::newRow("SIRMAS") << "SIRMAS" << &DBupdate::UpdateSIRMAS;
        QTest::newRow("TOKMAS") << "TOKMAS" << &DBupdate::UpdateTOKMAS;
        QTest::newRow("SHOMAS") << "SHOMAS" << &DBupdate::UpdateSHOMAS;
        QTest::newRow("JISYA") << "JISYA" << &DBupdate::UpdateJISYA;
    }

    void namedUpdatesApplyTheirMaster()
    {
        using Update = DBupdate::Result (*)(const Comm::Settings &, const QString &);
        QFETCH(QString, name);
        QFETCH(Update, update);
        for (const Definition &m : Masters::all())
            write(m.name, { lineOf(m, "1", "K1", "名") });
        QCOMPARE(update(m_station->settings, "3").rowsAdded, 1);
        for (const Definition &m : Masters::all())
            QCOMPARE(rowCount(m.name), m.name == name ? 1 : 0);
        QCOMPARE(exportLines(name).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDBupdate)
#include "tst_dbupdate.moc"
