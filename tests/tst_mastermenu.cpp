#include "StationFolder.h"
#include "TestClock.h"
#include "TestOperator.h"
#include "base/Comm.h"
#include "base/Cp932.h"
#include "base/StationLog.h"
#include "gui/MasterMenu.h"
#include "gui/MasterMenuOpener.h"
#include "gui/MianMenu.h"
#include "gui/WidgetOperator.h"
#include "gui/WindowStation.h"
#include "masters/DatabaseConnection.h"
#include "masters/MasterSchema.h"
#include "station/Station.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

QList<UsbUnit> noUnits()
{
    return {};
}

QWidget *nextFocus(QWidget *widget)
{
    QWidget *next = widget->nextInFocusChain();
    while (next->focusPolicy() == Qt::NoFocus)
        next = next->nextInFocusChain();
    return next;
}

int openMasterMenus()
{
    int count = 0;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qobject_cast<MasterMenu *>(widget) && widget->isVisible())
            ++count;
    }
    return count;
}

} // namespace

class TestMasterMenu : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    TestClock m_clock;
    Comm::Settings m_settings;

    void writeFile(const QString &name, const QString &text)
    {
        QFile file(StationLayout::join(m_settings.importDir, name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(Cp932::encode(text));
    }

    int rowCount(const QString &table)
    {
        DatabaseConnection connection;
        if (!connection.open(m_settings.importDb))
            return -1;
        QSqlQuery query(connection.database());
        if (!query.exec(QStringLiteral("SELECT count(*) FROM ") + MasterSchema::quoted(table))
            || !query.next())
            return -1;
        return query.value(0).toInt();
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_settings = StationFolder(m_dir->path()).settings;
        m_settings.port = 0;
    }

    void captionsOrderAndTabOrder()
    {
        TestOperator op;
        StationLog log(m_settings.layout().logFolder(), m_clock);
        MasterMenu menu(m_settings, op, log, m_clock);
        QCOMPARE(menu.windowTitle(), QStringLiteral("マスター更新"));
        QCOMPARE(menu.BtnEND->text(), QStringLiteral("END"));

        const QList<QPushButton *> column = { menu.BtnTENMAS, menu.BtnBUNMAS, menu.BtnSHOMAS,
                                              menu.BtnTOKMAS, menu.BtnSIRMAS, menu.BtnJISYA };
        QCOMPARE(menu.importButtons(), column);
        QStringList captions;
        QStringList names;
        for (QPushButton *button : column) {
            captions.append(button->text());
            names.append(button->objectName());
        }
        QCOMPARE(captions,
                 QStringList({ "店舗マスタ",
                               "分類マスタ",
                               "商品マスタ",
                               "得意先マスタ",
                               "仕入先マスタ",
                               "自社コード" }));
        QCOMPARE(
            names,
            QStringList(
                { "BtnTENMAS", "BtnBUNMAS", "BtnSHOMAS", "BtnTOKMAS", "BtnSIRMAS", "BtnJISYA" }));

        // One column from the top, END to its right at the bottom.
        for (int i = 1; i < column.size(); ++i) {
            QCOMPARE(column.at(i)->x(), column.first()->x());
            QVERIFY(column.at(i)->geometry().top() > column.at(i - 1)->geometry().bottom());
        }
        QVERIFY(menu.BtnEND->x() > column.last()->geometry().right());
        QCOMPARE(menu.BtnEND->geometry().bottom(), column.last()->geometry().bottom());
        QVERIFY(menu.rect().contains(menu.BtnEND->geometry()));

        // END first, then the six top to bottom, then round to END again.
        QWidget *widget = menu.BtnEND;
        for (QPushButton *button : column) {
            widget = nextFocus(widget);
            QCOMPARE(widget, button);
        }
        QCOMPARE(nextFocus(widget), menu.BtnEND);

        menu.show();
        QVERIFY(QTest::qWaitForWindowActive(&menu));
        QCOMPARE(QApplication::focusWidget(), menu.BtnEND);
    }

    void eachButtonImportsItsOwnMaster()
    {
        TestOperator op;
        StationLog log(m_settings.layout().logFolder(), m_clock);
        MasterMenu menu(m_settings, op, log, m_clock);
        const QStringList files = { "TENMAS", "BUNMAS", "SHOMAS", "TOKMAS", "SIRMAS", "JISYA" };
        for (const QString &name : files)
            writeFile(name + QStringLiteral(".DAT"), QStringLiteral("1001\r\n"));

        for (int i = 0; i < files.size(); ++i) {
            QTest::mouseClick(menu.importButtons().at(i), Qt::LeftButton);
            for (int j = 0; j < files.size(); ++j)
                QCOMPARE(rowCount(files.at(j)), j <= i ? 1 : 0);
        }
        QCOMPARE(op.shown.size(), files.size());
        for (const TestOperator::Shown &shown : std::as_const(op.shown)) {
            QCOMPARE(shown.caption, QStringLiteral("終了しました"));
            QCOMPARE(shown.text, QStringLiteral("更新終了"));
        }
    }

    void completionMessageHasTheInformationIcon()
    {
        WidgetOperator screen;
        StationLog log(m_settings.layout().logFolder(), m_clock);
        MasterMenu menu(m_settings, screen, log, m_clock);
        menu.show();
        writeFile(QStringLiteral("BUNMAS.DAT"), QString());

        QTest::mouseClick(menu.BtnBUNMAS, Qt::LeftButton);
        QCOMPARE(screen.openMessages().size(), 1);
        QMessageBox *box = screen.openMessages().first();
        QCOMPARE(box->icon(), QMessageBox::Information);
        QCOMPARE(box->windowTitle(), QStringLiteral("終了しました"));
        QCOMPARE(box->text(), QStringLiteral("更新終了"));
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(box->isModal());
    }

    void endClosesAndOpeningAgainLoadsAgain()
    {
        TestOperator op;
        StationLog log(m_settings.layout().logFolder(), m_clock);
        MasterMenuOpener opener(m_settings, op, log, m_clock);
        opener.show();
        QPointer<MasterMenu> first = opener.window();
        QVERIFY(first);
        QCOMPARE(first->maintenance().ImportFolder(), m_settings.importDir);

        QTest::mouseClick(first->BtnEND, Qt::LeftButton);
        QVERIFY(first->isHidden());
        QTRY_VERIFY(!first); // unloaded
        QVERIFY(!opener.window());

        m_settings.importDir = m_dir->filePath(QStringLiteral("elsewhere/"));
        opener.show();
        QVERIFY(opener.window());
        QVERIFY(opener.window()->isVisible());
        QCOMPARE(opener.window()->maintenance().ImportFolder(), m_settings.importDir);
    }

    // Closing the import window leaves the station running; closing the
    // main window ends it, the import window with it.
    void closingTheMainWindowEndsTheStation()
    {
        TestOperator op;
        WindowStation station(m_settings, op, m_clock, noUnits);
        QVERIFY(station.load());
        station.window().show();
        QTest::mouseClick(station.window().BtnMaster, Qt::LeftButton);
        QPointer<MasterMenu> menu = station.masterMenu().window();
        QTest::mouseClick(menu->BtnEND, Qt::LeftButton);
        QVERIFY(station.server().Listening());
        QVERIFY(station.station().Timer1->isActive());

        QTest::mouseClick(station.window().BtnMaster, Qt::LeftButton);
        menu = station.masterMenu().window();
        QVERIFY(menu && menu->isVisible());
        QTimer::singleShot(0, &station.window(), [&] { station.window().close(); });
        QTimer::singleShot(10000, qApp, [] { QCoreApplication::exit(99); });
        QCOMPARE(QApplication::exec(), 0);
        QVERIFY(!station.server().Listening());
        QVERIFY(!station.station().Timer1->isActive());
        QVERIFY(!menu || menu->isHidden());
    }

    void btnMasterBringsTheOneWindowForward()
    {
        TestOperator op;
        WindowStation station(m_settings, op, m_clock, noUnits);
        QVERIFY(station.load());
        MianMenu &main = station.window();
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));

        QTest::mouseClick(main.BtnMaster, Qt::LeftButton);
        QPointer<MasterMenu> menu = station.masterMenu().window();
        QVERIFY(menu);
        QVERIFY(menu->isWindow());
        QVERIFY(!menu->parentWidget()); // owned by no other window
        QCOMPARE(menu->windowModality(), Qt::NonModal);
        QVERIFY(QTest::qWaitForWindowActive(menu));

        // The main window stays usable and goes on listening.
        main.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&main));
        QVERIFY(main.isEnabled());
        QVERIFY(station.server().Listening());

        QTest::mouseClick(main.BtnMaster, Qt::LeftButton);
        QCOMPARE(station.masterMenu().window(), menu.data());
        QCOMPARE(openMasterMenus(), 1);
        QVERIFY(QTest::qWaitForWindowActive(menu));

        // A minimized window comes back too.
        menu->showMinimized();
        QTest::mouseClick(main.BtnMaster, Qt::LeftButton);
        QCOMPARE(station.masterMenu().window(), menu.data());
        QVERIFY(!menu->isMinimized());
    }
};

QTEST_MAIN(TestMasterMenu)
#include "tst_mastermenu.moc"
