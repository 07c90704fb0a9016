#ifndef SQLITEHELPER_H
#define SQLITEHELPER_H

#include "records.h"

#include <QSqlDatabase>
#include <QString>

// Owns every SQL statement of the program and the file data.db in the
// working directory. Each operation opens the database, runs its statements
// and closes it again; failures come back as false, an empty record or an
// empty list. Used from the GUI thread only; instance() may be called from
// any thread.
class SqliteHelper
{
public:
    static SqliteHelper *instance();

    static QSqlDatabase openDatabase();

    // Areas and the tree rows of devices.
    static bool insertArea(const TreeRowRecord &record);
    static bool deleteTreeRow(const TreeRowRecord &record);

    // Devices: the Devices row together with the device's tree row.
    static bool insertDevice(const DeviceRecord &record);
    static bool updateDevice(const DeviceRecord &record);
    static bool deleteDevice(const QString &name);
    // The device's tree row (Level 2) and its Devices rows, together or not at all.
    static bool deleteDeviceRows(const QString &name);
    DeviceRecord selectDevice(const TreeRowRecord &key);

    // Runs a select given by the caller and returns every row.
    RowSet queryDataSet(const QString &sql);

    SqliteHelper(const SqliteHelper &) = delete;
    SqliteHelper &operator=(const SqliteHelper &) = delete;

private:
    SqliteHelper();
};

#endif // SQLITEHELPER_H
