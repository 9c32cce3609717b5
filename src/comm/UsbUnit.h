#pragma once

#include <QList>
#include <QString>

#include <functional>

// A USB communication unit: a USB-backed serial port of this machine.
struct UsbUnit
{
    QString portName; // ttyUSB0
    QString systemLocation; // /dev/ttyUSB0
    QString description;
    QString manufacturer;
    quint16 vendorId = 0;
    quint16 productId = 0;

    // How the unit is offered to the operator.
    QString label() const;
};

using UsbUnitFinder = std::function<QList<UsbUnit>()>;

// The serial ports the system reports with a USB vendor ID.
QList<UsbUnit> systemUsbUnits();
