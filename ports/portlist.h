#ifndef PORTLIST_H
#define PORTLIST_H

#include <QStringList>

// The names of the serial ports present (COM3, ttyUSB0, ...) as the system
// lists them, unsorted; empty when there are none. On Windows they come from
// the registry's SERIALCOMM map, where every serial driver enters its ports.
QStringList availablePortNames();

#endif
