#pragma once

#include "station/MasterMaintenance.h"

#include <QList>
#include <QWidget>

class QPushButton;

// The import window "マスター更新": one button per master, top to bottom, and
// END beside them at the bottom. It holds the buttons and passes each click
// to the maintenance core; closing it unloads it (the window deletes itself).
class MasterMenu : public QWidget
{
    Q_OBJECT

public:
    MasterMenu(const Comm::Settings &settings,
               Operator &op,
               StationLog &log,
               const Clock &clock,
               QWidget *parent = nullptr);

    QPushButton *BtnEND = nullptr;
    QPushButton *BtnTENMAS = nullptr;
    QPushButton *BtnBUNMAS = nullptr;
    QPushButton *BtnSHOMAS = nullptr;
    QPushButton *BtnTOKMAS = nullptr;
    QPushButton *BtnSIRMAS = nullptr;
    QPushButton *BtnJISYA = nullptr;

    // The six import buttons, top to bottom.
    QList<QPushButton *> importButtons() const { return m_importButtons; }

    const MasterMaintenance &maintenance() const { return m_maintenance; }

private:
    QPushButton *addImportButton(const QString &masterName);
    void layOut();

    MasterMaintenance m_maintenance;
    QList<QPushButton *> m_importButtons;
};
