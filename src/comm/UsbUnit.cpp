#include "UsbUnit.h"

#include <QSerialPortInfo>

QString UsbUnit::label() const
{
    QString text = portName;
    const QString about = description.isEmpty() ? manufacturer : description;
    if (!about.isEmpty())
        text += QStringLiteral(" (") + about + u')';
    return text;
}

QList<UsbUnit> systemUsbUnits()
{
    QList<UsbUnit> units;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (!port.hasVendorIdentifier())
            continue;
        units.append(
            UsbUnit { port.portName(),
                      port.systemLocation(),
                      port.description(),
                      port.manufacturer(),
                      port.vendorIdentifier(),
                      port.hasProductIdentifier() ? port.productIdentifier() : quint16(0) });
    }
    return units;
}
