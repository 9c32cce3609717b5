// Stations sharing one PostgreSQL server, and the server failing under them.
// The tests stop and start the server, so CTest runs this suite alone.

#include "MasterFiles.h"
#include "TestClock.h"
#include "TestDatabases.h"
#include "TestOperator.h"
#include "base/StationLog.h"
#include "masters/DBupdate.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterDatabase.h"
#include "masters/MasterDefinitions.h"
#include "masters/MasterScan.h"

#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <thread>

namespace {

const QString T3 = QStringLiteral("0003");

const Masters::Definition &products()
{
    return *Masters::find(QStringLiteral("SHOMAS"));
}

// Product lines with codes first .. first + count - 1 and the name given.
QStringList productLines(int first, int count, const QString &name)
{
    QStringList lines;
    for (int code = first; code < first + count; ++code) {
        lines.append(fixedLine(
            61,
            { { 1, "1" }, { 2, QString::number(code).rightJustified(13, u'0') }, { 28, name } }));
    }
    return lines;
}

// One station: its folders and its own schema on the server.
struct SharedStation
{
    explicit SharedStation(const QString &schema)
        : folders(dir.path(), { TestDatabases::serverLocation(schema), QString() })
    { }

    qint64 rowCount(const QString &terminal = T3)
    {
        MasterDatabase db;
        return db.open(folders.settings.DbPath) ? db.rowCount(products(), terminal) : -1;
    }

    QTemporaryDir dir;
    StationFolder folders;
};

// Starts the server again when a test that stopped it ends, passed or not,
// so that the tests after it find it running.
class ServerStop
{
public:
    ServerStop() = default;
    ServerStop(const ServerStop &) = delete;
    ServerStop &operator=(const ServerStop &) = delete;
    ~ServerStop() { start(); }

    bool stop()
    {
        m_stopped = TestDatabases::stopServer();
        return m_stopped;
    }

    bool start()
    {
        if (!m_stopped)
            return true;
        m_stopped = !TestDatabases::startServer();
        return !m_stopped;
    }

private:
    bool m_stopped = false;
};

bool serverAnswers(const QString &statement)
{
    DatabaseConnection server;
    if (!server.open(TestDatabases::serverUri()))
        return false;
    QSqlQuery query(server.database());
    return query.exec(statement) && query.next();
}

// Whether a station is in the middle of a file: a session with a transaction
// open, waiting for its client.
bool aFileIsBeingApplied()
{
    return serverAnswers(
        QStringLiteral("SELECT 1 FROM pg_stat_activity WHERE state = 'idle in transaction'"));
}

// Whether rows of a product file have reached the server, uncommitted.
bool productRowsAreBeingWritten()
{
    return serverAnswers(
        QStringLiteral("SELECT 1 FROM pg_locks JOIN pg_class ON pg_class.oid = pg_locks.relation "
                       "WHERE pg_class.relname = 'SHOMAS' AND pg_locks.mode = 'RowExclusiveLock'"));
}

quint16 portNobodyListensOn()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class TestSharedServer : public QObject
{
    Q_OBJECT

private:
    int m_schemas = 0;
    TestClock m_clock;

    QString newSchema()
    {
        return QStringLiteral("shop%1_%2").arg(QCoreApplication::applicationPid()).arg(++m_schemas);
    }

public:
    static void initMain() { TestDatabases::exitWithoutServer(); }

private Q_SLOTS:
    void initTestCase()
    {
        // A station's role that must give its password.
        QVERIFY(TestDatabases::execute(
            TestDatabases::serverUri(),
            QStringLiteral("DO $$ BEGIN CREATE ROLE tarvinex_station LOGIN PASSWORD 'right' "
                           "IN ROLE tarvinex_password_users; EXCEPTION WHEN duplicate_object THEN "
                           "NULL; END $$")));
        QVERIFY(TestDatabases::execute(
            TestDatabases::serverUri(),
            QStringLiteral("GRANT CREATE ON DATABASE tarvinex_test TO tarvinex_station")));
    }

    void twoStationsApplyingAtOnceKeepTheirRowsApart()
    {
        SharedStation north(newSchema());
        SharedStation south(newSchema());
        QVERIFY(north.folders.write(T3, "SHOMAS.dat", productLines(1, 200, "北店")));
        QVERIFY(south.folders.write(T3, "SHOMAS.dat", productLines(101, 200, "南店")));

        // The south station applies its whole file while the north station
        // is in the middle of its own, rows sent and the transaction open.
        DBupdate::Result southResult;
        bool southRan = false;
        QTimer interleave;
        connect(&interleave, &QTimer::timeout, this, [&] {
            if (!productRowsAreBeingWritten())
                return;
            interleave.stop();
            southRan = true;
            southResult = DBupdate::apply(products(), south.folders.settings, T3);
        });
        interleave.start(0);
        const DBupdate::Result northResult
            = DBupdate::apply(products(), north.folders.settings, T3, DBupdate::Events::EveryRow);
        QVERIFY(southRan);
        QVERIFY2(northResult.ok(), qPrintable(northResult.error));
        QVERIFY2(southResult.ok(), qPrintable(southResult.error));
        QCOMPARE(northResult.rowsAdded, 200);
        QCOMPARE(southResult.rowsAdded, 200);

        const QStringList northExport = north.folders.lines(T3, "SHOMAS.csv");
        const QStringList southExport = south.folders.lines(T3, "SHOMAS.csv");
        QCOMPARE(northExport.size(), 200);
        QCOMPARE(southExport.size(), 200);
        QVERIFY(northExport.first().startsWith("0000000000001,"));
        QVERIFY(southExport.first().startsWith("0000000000101,"));
        QCOMPARE(northExport.filter(QStringLiteral("南店")).size(), 0);
        QCOMPARE(southExport.filter(QStringLiteral("北店")).size(), 0);

        // Truly at once, each station in a thread of its own.
        QVERIFY(north.folders.write(T3, "SHOMAS.dat", productLines(1001, 500, "北店")));
        QVERIFY(south.folders.write(T3, "SHOMAS.dat", productLines(1001, 500, "南店")));
        DBupdate::Result northAgain;
        std::thread southThread([&] {
            southResult
                = DBupdate::apply(products(), south.folders.settings, T3, DBupdate::Events::Never);
        });
        northAgain
            = DBupdate::apply(products(), north.folders.settings, T3, DBupdate::Events::Never);
        southThread.join();
        QVERIFY2(northAgain.ok(), qPrintable(northAgain.error));
        QVERIFY2(southResult.ok(), qPrintable(southResult.error));
        QCOMPARE(north.rowCount(), 700);
        QCOMPARE(south.rowCount(), 700);
        QCOMPARE(north.folders.lines(T3, "SHOMAS.csv").filter(QStringLiteral("南店")).size(), 0);
        QCOMPARE(south.folders.lines(T3, "SHOMAS.csv").filter(QStringLiteral("北店")).size(), 0);
    }

    void serverStoppedMidFileLeavesNoPartialApply()
    {
        SharedStation station(newSchema());
        QVERIFY(station.folders.write(T3, "SHOMAS.dat", productLines(1, 10, "旧")));
        QVERIFY(DBupdate::apply(products(), station.folders.settings, T3).ok());
        const QByteArray oldExport = station.folders.bytes(T3, "SHOMAS.csv");

        // The server goes once the first rows of the new file have reached it.
        QVERIFY(station.folders.write(T3, "SHOMAS.dat", productLines(5, 300, "新")));
        ServerStop server;
        bool stopped = false;
        QTimer cut;
        connect(&cut, &QTimer::timeout, this, [&] {
            if (!productRowsAreBeingWritten())
                return;
            cut.stop();
            stopped = server.stop();
        });
        cut.start(0);
        const DBupdate::Result result
            = DBupdate::apply(products(), station.folders.settings, T3, DBupdate::Events::EveryRow);
        cut.stop();
        QVERIFY(stopped);
        QVERIFY(!result.ok());
        QVERIFY2(result.error.contains(QStringLiteral("行目")), qPrintable(result.error));
        QCOMPARE(station.folders.bytes(T3, "SHOMAS.csv"), oldExport);

        QVERIFY(server.start());
        QCOMPARE(station.rowCount(), 10);
        const DBupdate::Result again = DBupdate::apply(products(), station.folders.settings, T3);
        QVERIFY2(again.ok(), qPrintable(again.error));
        QCOMPARE(again.rowsAdded, 294);
        QCOMPARE(station.rowCount(), 304);
    }

    void scanKeepsFilesTheStoppedServerDidNotTake()
    {
        SharedStation station(newSchema());
        const StationFolder &folders = station.folders;
        QVERIFY(folders.write("0001", "BUNMAS.dat", { "1A1  果物" }));
        QVERIFY(folders.write("0001", "SHOMAS.dat", productLines(1, 300, "商品")));
        QVERIFY(folders.write("0002", "BUNMAS.dat", { "1A1  野菜" }));
        TestOperator op;
        StationLog log(folders.layout().logFolder(), m_clock);

        // The category file is applied; the server goes while the product
        // file is in its transaction; the next terminal finds no server.
        ServerStop server;
        QTimer cut;
        connect(&cut, &QTimer::timeout, this, [&] {
            if (!aFileIsBeingApplied())
                return;
            cut.stop();
            server.stop();
        });
        cut.start(0);
        MasterScan scan(folders.settings, op, log, m_clock);
        const QList<MasterScan::Outcome> outcomes = scan.run();
        cut.stop();
        QCOMPARE(outcomes.size(), 3);
        QVERIFY(outcomes.at(0).applied());
        QVERIFY(!outcomes.at(1).applied());
        QVERIFY(!outcomes.at(2).applied());
        QCOMPARE(op.messages().size(), 2);
        QVERIFY(folders.exists("0001", "BUNMAS.sav"));
        QVERIFY(folders.exists("0001", "SHOMAS.dat"));
        QVERIFY(!folders.exists("0001", "SHOMAS.csv"));
        QVERIFY(folders.exists("0002", "BUNMAS.dat"));

        QVERIFY(server.start());
        QCOMPARE(station.rowCount("0001"), 0);
        const QList<MasterScan::Outcome> next = scan.run();
        QCOMPARE(next.size(), 2);
        QVERIFY2(next.at(0).applied(), qPrintable(next.at(0).result.error));
        QVERIFY2(next.at(1).applied(), qPrintable(next.at(1).result.error));
        QCOMPARE(station.rowCount("0001"), 300);
        QCOMPARE(folders.lines("0001", "SHOMAS.csv").size(), 300);
        QVERIFY(folders.exists("0002", "BUNMAS.sav"));
    }

    void refusedConnectionAndFailedAuthenticationAreFailures_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QString>("secret");
        QUrl refused(TestDatabases::serverLocation(newSchema()));
        refused.setPort(portNobodyListensOn());
        refused.setUserName(QStringLiteral("postgres"));
        refused.setPassword(QStringLiteral("s3cret-refused"));
        QTest::newRow("refused") << refused.toString() << "s3cret-refused";
        QUrl wrong(TestDatabases::serverLocation(newSchema()));
        wrong.setUserName(QStringLiteral("tarvinex_station"));
        wrong.setPassword(QStringLiteral("wrong@password"));
        QTest::newRow("authentication") << wrong.toString() << "wrong@password";
    }

    void refusedConnectionAndFailedAuthenticationAreFailures()
    {
        QFETCH(QString, location);
        QFETCH(QString, secret);

        QTemporaryDir dir;
        StationFolder folders(dir.path());
        folders.settings.DbPath = location;
        QVERIFY(folders.write("0001", "BUNMAS.dat", { "1A1  果物" }));
        TestOperator op;
        StationLog log(folders.layout().logFolder(), m_clock);
        MasterScan scan(folders.settings, op, log, m_clock);
        const QList<MasterScan::Outcome> outcomes = scan.run();
        QCOMPARE(outcomes.size(), 1);
        QVERIFY(!outcomes.first().applied());
        QCOMPARE(op.messages().size(), 1);
        const QString message = op.messages().first();
        QVERIFY2(message.contains(DatabaseConnection::displayName(location)), qPrintable(message));
        QVERIFY2(!message.contains(secret), qPrintable(message));
        QVERIFY2(!message.contains(QString::fromLatin1(QUrl::toPercentEncoding(secret))),
                 qPrintable(message));
        QVERIFY(folders.exists("0001", "BUNMAS.dat"));
        QVERIFY(!folders.exists("0001", "BUNMAS.csv"));
        QVERIFY(!TestDatabases::locationExists(TestDatabases::serverLocation(
            QUrlQuery(QUrl(location)).queryItemValue(QStringLiteral("schema")))));
    }

    void rightPasswordIsAccepted()
    {
        QUrl location(TestDatabases::serverLocation(newSchema()));
        location.setUserName(QStringLiteral("tarvinex_station"));
        location.setPassword(QStringLiteral("right"));
        QTemporaryDir dir;
        StationFolder folders(dir.path());
        folders.settings.DbPath = location.toString(); // its schema is made on first use
        QVERIFY(folders.write(T3, "BUNMAS.dat", { "1A1  果物" }));
        const DBupdate::Result result = DBupdate::UpdateBUNMAS(folders.settings, T3);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(folders.lines(T3, "BUNMAS.csv"), QStringList { "A1,果物,,,,1," });
    }
};

QTEST_GUILESS_MAIN(TestSharedServer)
#include "tst_sharedserver.moc"
