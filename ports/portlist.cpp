#include "portlist.h"

#include <QSerialPortInfo>

QStringList availablePortNames()
{
    QStringList names;
    // The device's path: a bare name such as ttyUSB0 would be opened relative
    // to the working folder.
    for (const QSerialPortInfo &port : QSerialPortInfo::availablePorts())
        names << port.systemLocation();
    return names;
}
