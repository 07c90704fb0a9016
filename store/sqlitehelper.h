#ifndef SQLITEHELPER_H
#define SQLITEHELPER_H

#include "records.h"

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class QSqlQuery;

// Owns every SQL statement of the program and the file data.db in the
// working directory. Each operation opens the database, runs its statements
// and closes it again; failures come back as false, an empty record or an
// empty list. Used from the GUI thread only; instance() may be called from
// any thread.
class SqliteHelper
{
public:
    // The first call checks data.db and makes the tables it lacks; a file it
    // cannot read is never changed.
    static SqliteHelper *instance();
    // What is wrong with data.db, naming the file; empty when nothing is.
    QString problem() const;

    static QSqlDatabase openDatabase();

    // Areas.
    static bool insertArea(const TreeRowRecord &record);
    // The area's row: 1 when deleted (or not there), 0 when the file holds
    // devices of it, -1 on failure.
    static int deleteArea(const QString &name);

    // Devices: the Devices row together with the device's tree row.
    static bool insertDevice(const DeviceRecord &record);
    static bool updateDevice(const DeviceRecord &record);
    static bool deleteDevice(const QString &name);
    // The device's tree row (Level 2) and its Devices row in that area,
    // together or not at all.
    static bool deleteDeviceRows(const QString &name, const QString &area);
    DeviceRecord selectDevice(const TreeRowRecord &key);

    // Runs a select given by the caller and returns every row.
    RowSet queryDataSet(const QString &sql);

    SqliteHelper(const SqliteHelper &) = delete;
    SqliteHelper &operator=(const SqliteHelper &) = delete;

private:
    SqliteHelper();
    QString checkTables(QSqlQuery &query, const QStringList &tables) const;

    QString m_problem;
};

#endif // SQLITEHELPER_H
