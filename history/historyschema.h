#ifndef HISTORYSCHEMA_H
#define HISTORYSCHEMA_H

#include <QSqlDatabase>

class QSqlError;

// The layout of history.db, shared by the recorder (writes), the log page
// (reads) and the push (drains the outbox). Times are milliseconds since the
// epoch, UTC.
//
// devices   one row per monitored device ever recorded, found by (area, name)
// readings  stored on change of value or state, and at least once a minute
//           while polled; raw and value are NULL when offline, value is NULL
//           for a sensor error; state is a ReadingState code
// events    the journal; kind is an EventKind; device is NULL for system
//           events; a state change that flips back and forth is one row with
//           repeats > 1 and last_t its latest time; uid is the stable id a
//           pushed event carries
// outbox    events waiting to be pushed, in id order; payload is the JSON
//           sent; a row is deleted once the broker or server acknowledged it
namespace HistorySchema {

enum EventKind { Alarm = 0, Abnormal = 1, Offline = 2, BackToNormal = 3, SensorError = 4, System = 5 };

// Creates whatever is missing and switches the file to WAL. False when the
// file cannot take it, with the statement's error in error when given.
bool create(QSqlDatabase &db, QSqlError *error = nullptr);

} // namespace HistorySchema

#endif
