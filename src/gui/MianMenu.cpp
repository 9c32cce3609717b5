#include "MianMenu.h"

#include "JapaneseFonts.h"
#include "LampWidget.h"
#include "Twips.h"
#include "station/Station.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>

MianMenu::MianMenu(Station &station, QWidget *parent)
    : QWidget(parent)
    , m_station(station)
{
    setWindowTitle(QStringLiteral("ハンディ通信"));

    Shape1 = new LampWidget(this);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setFillColor(Qt::white);

    Command1 = new QPushButton(Station::listenCaption(), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command2 = new QPushButton(QStringLiteral("USB通信ユニット検索"), this);
    Command2->setObjectName(QStringLiteral("Command2"));

    Label2 = new QLabel(QStringLiteral("通信状況"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setFont(JapaneseFonts::font(QStringLiteral("ＭＳ ゴシック"), 9));
    Label1 = new QLabel(this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(JapaneseFonts::font(QStringLiteral("MS UI Gothic"), 9));
    LStatus = new QLabel(this);
    LStatus->setObjectName(QStringLiteral("LStatus"));

    BtnMaster = new QPushButton(QStringLiteral("マスター更新"), this);
    BtnMaster->setObjectName(QStringLiteral("BtnMaster"));
    LCount = new QLabel(QStringLiteral("1"), this);
    LCount->setObjectName(QStringLiteral("LCount"));

    // The status line shows terminals' file names: never markup.
    for (QLabel *label : { Label2, Label1, LStatus, LCount })
        label->setTextFormat(Qt::PlainText);

    layOut();

    // Tab order: Command1, Label1, Label2, Command2, BtnMaster, LStatus, LCount.
    const QList<QWidget *> tabOrder
        = { Command1, Label1, Label2, Command2, BtnMaster, LStatus, LCount };
    for (int i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder.at(i - 1), tabOrder.at(i));

    connect(Command1, &QPushButton::clicked, &m_station, &Station::Command1Click);
    connect(Command2, &QPushButton::clicked, &m_station, &Station::Command2Click);
    connect(&m_station, &Station::listeningShown, this, &MianMenu::showListening);
    connect(&m_station, &Station::statusLineChanged, Label1, &QLabel::setText);
    connect(&m_station, &Station::countdownShown, LCount, &QLabel::setText);
}

void MianMenu::layOut()
{
    setFixedSize(Twips::size(this, 4110, 2460));
    Shape1->setGeometry(Twips::rect(this, 120, 120, 615, 615));
    Command1->setGeometry(Twips::rect(this, 960, 120, 1935, 375));
    Command2->setGeometry(Twips::rect(this, 960, 600, 1935, 375));
    Label2->setGeometry(Twips::rect(this, 120, 720, 855, 255));
    Label1->setGeometry(Twips::rect(this, 120, 1080, 3855, 255));
    LStatus->setGeometry(Twips::rect(this, 120, 1440, 3855, 255));
    BtnMaster->setGeometry(Twips::rect(this, 1920, 1800, 1215, 495));
    LCount->setGeometry(Twips::rect(this, 120, 2040, 1215, 255));
}

void MianMenu::closeEvent(QCloseEvent *event)
{
    QWidget::closeEvent(event);
    if (event->isAccepted())
        Q_EMIT closed();
}

QColor MianMenu::idleLampColor() const
{
    return palette().color(QPalette::Window);
}

void MianMenu::showListening(bool listening)
{
    Shape1->setFillColor(listening ? QColor(0, 255, 0) : idleLampColor());
    Command1->setText(listening ? Station::stopListeningCaption() : Station::listenCaption());
}
