#include "portlist.h"

#include <QSerialPortInfo>

QStringList availablePortNames()
{
    QStringList names;
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        names << port.portName();
    return names;
}
