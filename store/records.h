#ifndef RECORDS_H
#define RECORDS_H

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

// Rows travel as maps from column name to value; readers convert each value
// explicitly, since SQLite hands back whole numbers as 64-bit integers and
// fractional ones as doubles whatever the declared column type.

// One Devices row: name, parent, DeviceAddr, RegAddr, MaxTemp, MinTemp,
// MaxUnnormalTemp, MinUnnormalTemp, Devicetype.
using DeviceRecord = QMap<QString, QVariant>;

// One TreeView row: item, parent, Level.
using TreeRowRecord = QMap<QString, QVariant>;

// The rows of a select, in the order SQLite returned them.
using RowSet = QList<QMap<QString, QVariant>>;

#endif // RECORDS_H
