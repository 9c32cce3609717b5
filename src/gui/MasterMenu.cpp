#include "MasterMenu.h"

#include "Twips.h"
#include "masters/MasterDefinitions.h"

#include <QPushButton>

namespace {

// Twips: the import buttons stand in one column, END at the bottom right.
constexpr int Margin = 240;
constexpr int Gap = 120;
constexpr int ImportWidth = 2415;
constexpr int ButtonHeight = 495;
constexpr int EndWidth = 1215;

} // namespace

MasterMenu::MasterMenu(const Comm::Settings &settings,
                       Operator &op,
                       StationLog &log,
                       const Clock &clock,
                       QWidget *parent)
    : QWidget(parent)
    , m_maintenance(settings, op, log, clock)
{
    setWindowTitle(QStringLiteral("マスター更新"));
    setAttribute(Qt::WA_DeleteOnClose);

    // Made first, END is first in the tab order and has the focus on opening.
    BtnEND = new QPushButton(QStringLiteral("END"), this);
    BtnEND->setObjectName(QStringLiteral("BtnEND"));
    connect(BtnEND, &QPushButton::clicked, this, &QWidget::close);

    BtnTENMAS = addImportButton(QStringLiteral("TENMAS"));
    BtnBUNMAS = addImportButton(QStringLiteral("BUNMAS"));
    BtnSHOMAS = addImportButton(QStringLiteral("SHOMAS"));
    BtnTOKMAS = addImportButton(QStringLiteral("TOKMAS"));
    BtnSIRMAS = addImportButton(QStringLiteral("SIRMAS"));
    BtnJISYA = addImportButton(QStringLiteral("JISYA"));

    QWidget *previous = BtnEND;
    for (QPushButton *button : std::as_const(m_importButtons)) {
        setTabOrder(previous, button);
        previous = button;
    }

    layOut();
    m_maintenance.load();
}

QPushButton *MasterMenu::addImportButton(const QString &masterName)
{
    const Masters::Definition *master = Masters::find(masterName);
    Q_ASSERT(master);
    auto *button = new QPushButton(master->caption, this);
    button->setObjectName(QStringLiteral("Btn") + masterName);
    connect(button, &QPushButton::clicked, this, [this, master] {
        m_maintenance.importMaster(*master);
    });
    m_importButtons.append(button);
    return button;
}

void MasterMenu::layOut()
{
    int top = Margin;
    for (QPushButton *button : std::as_const(m_importButtons)) {
        button->setGeometry(Twips::rect(this, Margin, top, ImportWidth, ButtonHeight));
        top += ButtonHeight + Gap;
    }
    const int lastTop = top - ButtonHeight - Gap;
    const int endLeft = Margin + ImportWidth + Gap * 2;
    BtnEND->setGeometry(Twips::rect(this, endLeft, lastTop, EndWidth, ButtonHeight));
    setFixedSize(Twips::size(this, endLeft + EndWidth + Margin, lastTop + ButtonHeight + Margin));
}
