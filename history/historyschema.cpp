#include "historyschema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <iterator>

namespace {

// AUTOINCREMENT: an id is never handed out twice, not even after the table
// emptied, so a sink's progress (the last id it delivered) stays valid.
const char *const kOutbox = "CREATE TABLE IF NOT EXISTS outbox ("
                            " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                            " event INTEGER NOT NULL,"
                            " payload TEXT NOT NULL)";

const char *const kStatements[] = {
    "CREATE TABLE IF NOT EXISTS devices ("
    " id INTEGER PRIMARY KEY,"
    " area TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " type INTEGER NOT NULL,"
    " alarm_low REAL NOT NULL, abnormal_low REAL NOT NULL,"
    " abnormal_high REAL NOT NULL, alarm_high REAL NOT NULL,"
    " UNIQUE(area, name))",
    "CREATE TABLE IF NOT EXISTS readings ("
    " device INTEGER NOT NULL,"
    " t INTEGER NOT NULL,"
    " raw INTEGER,"
    " value REAL,"
    " state INTEGER NOT NULL)",
    "CREATE INDEX IF NOT EXISTS readings_by_device ON readings(device, t)",
    "CREATE INDEX IF NOT EXISTS readings_by_time ON readings(t)",
    "CREATE TABLE IF NOT EXISTS events ("
    " id INTEGER PRIMARY KEY,"
    " uid TEXT NOT NULL UNIQUE,"
    " t INTEGER NOT NULL,"
    " last_t INTEGER NOT NULL,"
    " repeats INTEGER NOT NULL DEFAULT 1,"
    " kind INTEGER NOT NULL,"
    " device INTEGER,"
    " from_state INTEGER,"
    " to_state INTEGER,"
    " value REAL,"
    " text TEXT NOT NULL,"
    " user TEXT,"
    " ack_user TEXT,"
    " ack_t INTEGER)",
    "CREATE INDEX IF NOT EXISTS events_by_time ON events(t)",
    kOutbox,
};

} // namespace

bool HistorySchema::create(QSqlDatabase &db, QSqlError *error)
{
    QSqlQuery query(db);
    auto run = [&](const char *statement) {
        if (query.exec(QString::fromUtf8(statement)))
            return true;
        if (error)
            *error = query.lastError();
        return false;
    };
    // Every statement leaves an existing file as it is, so an open takes no
    // write lock unless something is missing.
    return run("PRAGMA journal_mode=WAL") && std::all_of(std::begin(kStatements), std::end(kStatements), run);
}
