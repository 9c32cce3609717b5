#include "LinkStation.h"
#include "Loopback.h"
#include "TestClock.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "gui/LampWidget.h"
#include "gui/MianMenu.h"
#include "gui/WidgetOperator.h"
#include "gui/WindowStation.h"
#include "station/Cli.h"
#include "station/FirstStart.h"
#include "station/RememberedStation.h"
#include "station/Station.h"
#include "station/StationLock.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QList<UsbUnit> oneUnit()
{
    return { UsbUnit { QStringLiteral("ttyUSB0"),
                       QStringLiteral("/dev/ttyUSB0"),
                       QString(),
                       QString(),
                       0x0403,
                       0x6001 } };
}

QList<UsbUnit> noUnits()
{
    return {};
}

} // namespace

class TestMianMenu : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    TestClock m_clock;

    Comm::Settings settings() const
    {
        Comm::Settings s;
        s.stationDir = m_dir.path();
        s.DataRoot = m_dir.path() + QStringLiteral("/data/");
        s.port = 0; // a free port, picked by the system
        return s;
    }

    static QColor green() { return QColor(0, 255, 0); }

private Q_SLOTS:
    void captionsAndGeometry()
    {
        TestOperator op;
        WindowStation station(settings(), op, m_clock, noUnits);
        MianMenu &w = station.window();
        QCOMPARE(w.windowTitle(), QStringLiteral("ハンディ通信"));

        // The form's twips on the offscreen screen's 96 DPI, 15 twips to the
        // pixel; in the comments left, top, width and height in twips.
        QCOMPARE(w.logicalDpiX(), 96);
        QCOMPARE(w.logicalDpiY(), 96);
        QCOMPARE(w.size(), QSize(274, 164)); // 4110 x 2460
        QCOMPARE(w.Shape1->geometry(), QRect(8, 8, 41, 41)); // 120, 120, 615, 615
        QCOMPARE(w.Command1->geometry(), QRect(64, 8, 129, 25)); // 960, 120, 1935, 375
        QCOMPARE(w.Command2->geometry(), QRect(64, 40, 129, 25)); // 960, 600, 1935, 375
        QCOMPARE(w.Label2->geometry(), QRect(8, 48, 57, 17)); // 120, 720, 855, 255
        QCOMPARE(w.Label1->geometry(), QRect(8, 72, 257, 17)); // 120, 1080, 3855, 255
        QCOMPARE(w.LStatus->geometry(), QRect(8, 96, 257, 17)); // 120, 1440, 3855, 255
        QCOMPARE(w.BtnMaster->geometry(), QRect(128, 120, 81, 33)); // 1920, 1800, 1215, 495
        QCOMPARE(w.LCount->geometry(), QRect(8, 136, 81, 17)); // 120, 2040, 1215, 255

        QCOMPARE(w.Command1->text(), QStringLiteral("待ち受け"));
        QCOMPARE(w.Command2->text(), QStringLiteral("USB通信ユニット検索"));
        QCOMPARE(w.Label2->text(), QStringLiteral("通信状況"));
        QCOMPARE(w.Label2->font().families().first(), QStringLiteral("ＭＳ ゴシック"));
        QCOMPARE(w.Label2->font().pointSizeF(), 9.0);
        QCOMPARE(w.Label1->text(), QString());
        QCOMPARE(w.Label1->font().families().first(), QStringLiteral("MS UI Gothic"));
        QVERIFY(w.Label1->font().families().contains(QStringLiteral("IPAGothic")));
        QCOMPARE(w.LStatus->text(), QString());
        QCOMPARE(w.BtnMaster->text(), QStringLiteral("マスター更新"));
        QCOMPARE(w.LCount->text(), QStringLiteral("1"));
        QCOMPARE(w.Shape1->fillColor(), QColor(Qt::white));

        // The buttons take the focus in the order Command1, Command2, BtnMaster.
        QWidget *next = w.Command1->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        QCOMPARE(next, w.Command2);
        next = next->nextInFocusChain();
        while (next->focusPolicy() == Qt::NoFocus)
            next = next->nextInFocusChain();
        QCOMPARE(next, w.BtnMaster);
    }

    // A first start from the desktop: the folder holds no station, the
    // operator takes the offer, the station is made with a key, told with
    // it, and runs; the folder is remembered for the next plain start, until
    // it no longer holds a station. A folder another station holds is
    // refused.
    void firstStartMakesAStationThatRuns()
    {
        qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
        qunsetenv("TARVINEX_STATION_DIR");
        const QString dir = m_dir.filePath(QStringLiteral("first"));
        QVERIFY(FirstStart::wanted(dir));
        const QString file = m_dir.filePath(QStringLiteral("a file"));
        QVERIFY(writeFile(file, "x"));
        QVERIFY(!FirstStart::wanted(file));
        QVERIFY(FirstStart::unreadable(file).contains(QStringLiteral("フォルダではありません")));
        TestOperator declines;
        declines.answer = 1; // a folder of its own, then none given
        QCOMPARE(FirstStart::offer(declines, dir, [] { return QString(); }), QString());
        QVERIFY(!QFileInfo::exists(dir));
        QVERIFY(!QFileInfo::exists(RememberedStation::file()));

        TestOperator op;
        op.answer = 1; // a folder of its own
        const QString fallback = Cli::chooseStation(QString(), Cli::Process::Window).dir;
        QCOMPARE(FirstStart::offer(op, fallback, [&] { return dir; }), dir);
        QCOMPARE(op.choicesOffered.size(), 1);
        QVERIFY(!FirstStart::wanted(dir));
        const Cli::StationChoice next = Cli::chooseStation(QString(), Cli::Process::Window);
        QCOMPARE(next.dir, dir);
        QVERIFY2(next.line().contains(RememberedStation::file()), qPrintable(next.line()));
        QCOMPARE(Cli::chooseStation(QString(), Cli::Process::Scan).dir, fallback);
        Comm::Settings s;
        QString error;
        QVERIFY2(Comm::LoadSettings(dir, &s, &error), qPrintable(error));
        QVERIFY(!s.linkKey.isEmpty());
        QCOMPARE(op.shown.size(), 1);
        QVERIFY(op.shown.first().text.contains(QString::fromUtf8(s.linkKey)));
        QVERIFY(!op.shown.first().text.contains(QStringLiteral("tarvinex ")));

        s.port = 0;
        StationLock running(s.layout().stationLockFile());
        QVERIFY(Cli::takeStationLock(&running, &error));
        WindowStation station(s, op, m_clock, noUnits);
        QVERIFY(station.load());
        QVERIFY(station.server().Listening());
        StationLock second(s.layout().stationLockFile());
        QVERIFY(!Cli::takeStationLock(&second, &error));
        QVERIFY2(error.contains(QStringLiteral("already running")), qPrintable(error));

        QVERIFY(QFile::remove(s.layout().settingsFile()));
        QCOMPARE(Cli::chooseStation(QString(), Cli::Process::Window).dir, fallback);
    }

    void startUpWithoutUsbUnitStillListens()
    {
        TestOperator op;
        WindowStation station(settings(), op, m_clock, noUnits);
        QVERIFY(station.load());
        QCOMPARE(op.messages(), QStringList { QStringLiteral("接続可能なUSBポートがありません") });
        QCOMPARE(station.station().PollCountdown(), qint16(30));
        QVERIFY(station.server().Listening());
        QCOMPARE(station.window().Shape1->fillColor(), green());
        QCOMPARE(station.window().Command1->text(), QStringLiteral("待ち受け解除"));
        QVERIFY(connects(station.server().serverPort()));

        // What was shown is in the station log.
        QFile log(station.log().currentFile());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll())
                    .contains(QStringLiteral("接続可能なUSBポートがありません")));
    }

    void listenToggleTwice()
    {
        TestOperator op;
        WindowStation station(settings(), op, m_clock, noUnits);
        QVERIFY(station.load());
        MianMenu &w = station.window();
        const quint16 port = station.server().serverPort();

        w.Label1->setText(QStringLiteral("S_HACH.dat保存成功 :3"));
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QVERIFY(!station.server().Listening());
        QCOMPARE(w.Label1->text(), QString());
        QCOMPARE(w.Command1->text(), QStringLiteral("待ち受け"));
        QCOMPARE(w.Shape1->fillColor(), w.idleLampColor());
        QVERIFY(!connects(port));

        w.Label1->setText(QStringLiteral("x"));
        QTest::mouseClick(w.Command1, Qt::LeftButton);
        QVERIFY(station.server().Listening());
        QCOMPARE(w.Label1->text(), QString());
        QCOMPARE(w.Command1->text(), QStringLiteral("待ち受け解除"));
        QCOMPARE(w.Shape1->fillColor(), green());
    }

    void usbSearchWhileListeningIsRefused()
    {
        TestOperator op;
        op.answer = 0;
        WindowStation station(settings(), op, m_clock, oneUnit);
        QVERIFY(station.load());
        QCOMPARE(op.choicesOffered.size(), 1);
        QCOMPARE(station.server().chosenUsbUnit()->portName, QStringLiteral("ttyUSB0"));
        op.shown.clear();

        QTest::mouseClick(station.window().Command2, Qt::LeftButton);
        QCOMPARE(op.messages(), QStringList { QStringLiteral("現在待ち受け中です") });
        QCOMPARE(op.choicesOffered.size(), 1);

        // Stopping first allows the search.
        QTest::mouseClick(station.window().Command1, Qt::LeftButton);
        QTest::mouseClick(station.window().Command2, Qt::LeftButton);
        QCOMPARE(op.choicesOffered.size(), 2);
    }

    // Beside a station that has the port, the window says why and does not
    // pretend to run.
    void aPortInUseEndsTheWindow()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost));
        Comm::Settings s = settings();
        s.port = other.serverPort();
        TestOperator op;
        WindowStation station(s, op, m_clock, noUnits);
        QVERIFY(!station.load());
        QVERIFY2(op.messages().last().contains(QString::number(s.port)),
                 qPrintable(op.messages().last()));
        QVERIFY(!station.station().Timer1->isActive());
    }

    void decliningTheUnitEndsTheProgram()
    {
        TestOperator op;
        op.answer = -1;
        WindowStation station(settings(), op, m_clock, oneUnit);
        QVERIFY(!station.load());
        QCOMPARE(op.messages(), QStringList { QStringLiteral("USBポートが選択されませんでした") });
        QVERIFY(!station.server().Listening());

        // Declining later, from Command2, closes the window and leaves the event loop.
        TestOperator later;
        later.answer = 0;
        WindowStation running(settings(), later, m_clock, oneUnit);
        QVERIFY(running.load());
        running.window().show();
        QTest::mouseClick(running.window().Command1, Qt::LeftButton);
        later.answer = -1;
        int exitCode = -1;
        QTimer::singleShot(0, &running.window(), [&] {
            QTest::mouseClick(running.window().Command2, Qt::LeftButton);
        });
        QTimer::singleShot(5000, qApp, [] { QCoreApplication::exit(99); });
        exitCode = QApplication::exec();
        QCOMPARE(exitCode, 0);
        QVERIFY(!running.window().isVisible());
    }

    void messageBoxesAreModalOkOnlyWithoutIconAndStayOpen()
    {
        WidgetOperator screen;
        screen.message(QStringLiteral("現在待ち受け中です"));
        // Showing returns at once; the box waits for the operator.
        QCOMPARE(screen.openMessages().size(), 1);
        QMessageBox *box = screen.openMessages().first();
        QCOMPARE(box->windowTitle(), QStringLiteral("Tarvinex"));
        QCOMPARE(box->icon(), QMessageBox::NoIcon);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box->windowModality(), Qt::ApplicationModal);
        box->button(QMessageBox::Ok)->click();
        QVERIFY(screen.openMessages().isEmpty());

        // An unattended station keeps the latest boxes, in order, not all.
        for (int i = 0; i < WidgetOperator::MaxOpenMessages + 5; ++i)
            screen.message(QString::number(i));
        const QList<QMessageBox *> open = screen.openMessages();
        QCOMPARE(open.size(), WidgetOperator::MaxOpenMessages);
        QCOMPARE(open.first()->text(), QStringLiteral("5"));
        QCOMPARE(open.last()->text(), QString::number(WidgetOperator::MaxOpenMessages + 4));
    }

    // Terminals are answered at once while the messages of their files wait
    // for the operator; a name is shown as it was sent, never as markup.
    void transfersDoNotWaitForTheOperator()
    {
        QTemporaryDir dir;
        StationFolder folder(dir.path());
        Comm::Settings s = folder.settings;
        s.port = 0;
        WidgetOperator screen;
        // Nobody clicks; should a box hold the terminal up, this lets it go.
        bool closedByNobody = false;
        QTimer nobody;
        connect(&nobody, &QTimer::timeout, [&] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                closedByNobody = true;
                box->close();
            }
        });
        nobody.start(20000);

        WindowStation station(s, screen, m_clock, noUnits);
        QVERIFY(station.load());
        screen.setParentWindow(&station.window());
        station.window().show();
        for (QMessageBox *box : screen.openMessages())
            box->close();
        closedByNobody = false;

        const QStringList sent = { "S_HACH.dat", "<b>x" };
        for (int terminal = 1; terminal <= sent.size(); ++terminal) {
            const QString file = dir.filePath(sent.at(terminal - 1));
            QVERIFY(writeFile(file, "1\r\n"));
            LinkTerminal t(station.server().serverPort(), terminal);
            t.client->put(file);
            t.start();
            QVERIFY(t.waitDone(30000));
            QVERIFY2(t.client->succeeded(), qPrintable(t.client->errorString()));
        }
        QVERIFY(!closedByNobody);
        QCOMPARE(readFile(folder.snd(1, "S_HACH.dat")), QByteArray("1\r\n"));

        QStringList texts;
        for (QMessageBox *box : screen.openMessages()) {
            QCOMPARE(box->textFormat(), Qt::PlainText);
            texts.append(box->text());
        }
        QCOMPARE(texts.size(), 5);
        QCOMPARE(texts.at(0), QStringLiteral("S_HACH.dat"));
        QCOMPARE(texts.mid(2), QStringList({ "chk-1", "chk-2", "<b>x" }));
        // A name the station does not file is kept aside, and the status line says where.
        QVERIFY2(station.window().Label1->text().startsWith(QStringLiteral("<b>x保管 :2 "))
                     && station.window().Label1->text().endsWith(QStringLiteral("_<b>x")),
                 qPrintable(station.window().Label1->text()));
        QCOMPARE(station.window().Label1->textFormat(), Qt::PlainText);
    }
};

QTEST_MAIN(TestMianMenu)
#include "tst_mianmenu.moc"
