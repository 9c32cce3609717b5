#pragma once

#include <QWidget>

class LampWidget;
class QLabel;
class QPushButton;
class Station;

// The main window "ハンディ通信": the listening lamp, the listen toggle, the
// USB unit search, the status line and the countdown to the next master scan.
// It shows what the station reports and passes its clicks on.
class MianMenu : public QWidget
{
    Q_OBJECT

public:
    explicit MianMenu(Station &station, QWidget *parent = nullptr);

    LampWidget *Shape1 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *LStatus = nullptr;
    QPushButton *BtnMaster = nullptr;
    QLabel *LCount = nullptr;

    // The lamp's colour when not listening: the window background.
    QColor idleLampColor() const;

Q_SIGNALS:
    // The operator closed the window: the station is to end.
    void closed();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void layOut();
    void showListening(bool listening);

    Station &m_station;
};
