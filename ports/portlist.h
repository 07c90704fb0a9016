#ifndef PORTLIST_H
#define PORTLIST_H

#include <QStringList>

// The serial ports present, as the Modbus layer opens them (COM3 on Windows,
// /dev/ttyUSB0 elsewhere), in the system's order; empty when there are none.
// On Windows they come from the registry's SERIALCOMM map, where every serial
// driver enters its ports.
QStringList availablePortNames();

#endif
