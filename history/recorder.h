#ifndef RECORDER_H
#define RECORDER_H

#include "historyschema.h"
#include "readingstate.h"

#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QVector>

#include <map>
#include <memory>
#include <optional>

class QSqlError;
class QThread;
class QTimer;

// Keeps history.db: the readings worth keeping, the journal of state changes
// and system events, and the outbox of events to push. Lives in a thread of
// its own; every slot only notes what happened, and the notes go to the file
// in one transaction a second, so a slow or unusable file never holds up the
// poll thread or the GUI.
//
// Readings are stored when the value or the state changes, at least once a
// minute per device while it is polled, and once more at a stop.
//
// A device going back to the state it left within DitherMs of its last change
// does not make an event at once: if it changes again into the event's state
// within DitherMs, that event's repeats goes up and last_t moves; once it has
// stayed back for DitherMs (or monitoring stops), the return is journaled at
// the time it happened.
//
// When the file cannot take a write (locked, read-only, disk full, damaged),
// recordingChanged(false, reason) tells why; what is pending is kept (up to
// PendingCap readings), the write is tried again every second, and once it
// succeeds two system events say when recording stopped and that it resumed.
// A damaged file is renamed aside and a new one started.
//
// Slots are called queued from other threads (a signal, or invokeMethod).
class Recorder : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 DitherMs = 60 * 1000;
    static constexpr qint64 HeartbeatMs = 60 * 1000;
    static constexpr int PendingCap = 100000;

    explicit Recorder(const QString &path, QObject *parent = nullptr);
    // Journals returns still held back and writes what is pending.
    ~Recorder() override;

    // Moves the recorder to thread and starts it there: open() when the
    // thread starts, deleted in it when the thread finishes.
    void runIn(QThread &thread);
    // Ends the recorder's thread once every call already queued to the
    // recorder has run, so nothing sent before is lost. Any thread.
    void stop();

public slots:
    // Opens the file, prunes it and starts the writes; in the recorder's thread.
    void open();
    void record(const Reading &reading);
    void monitoringStarted(const QString &user, const QString &port, const QString &lineSettings);
    void monitoringStopped(const QString &user);
    void portLost(const QString &reason);
    void portRestored();
    void deviceAdded(const QString &user, const QString &area, const QString &name);
    void deviceChanged(const QString &user, const QString &area, const QString &name);
    void deviceDeleted(const QString &user, const QString &area, const QString &name);
    // Events of these kinds also go to the outbox, in the same transaction.
    void setOutboxKinds(const QList<HistorySchema::EventKind> &kinds);
    // Rows older than this are pruned, at once and then daily.
    void setRetentionDays(int days);
    // Writes everything pending in one transaction; true when the file took it.
    bool flush();

signals:
    void recordingChanged(bool recording, const QString &reason);

private:
    struct Event;
    using EventPtr = std::shared_ptr<Event>;

    struct Device
    {
        QString area;
        QString name;
        int type = 0;
        DeviceLimits limits;
        qint64 id = 0; // row in devices, 0 until written
        bool dirty = true; // new, or its type or limits changed
        std::optional<ReadingState> state; // last known, also from an earlier run
        std::optional<Reading> stored; // last reading stored in this run of monitoring
        std::optional<Reading> latest; // last reading seen in this run
        EventPtr last; // the device's last state change
        std::optional<Reading> returned; // back to last->from, not journaled yet
    };

    // An event as journaled; id is its row once written.
    struct Event
    {
        qint64 id = 0;
        QString uid;
        qint64 t = 0;
        qint64 lastT = 0;
        int repeats = 1;
        HistorySchema::EventKind kind = HistorySchema::System;
        Device *device = nullptr; // null for a system event
        Reading reading; // a state change: the reading that made it
        std::optional<ReadingState> from;
        QString text;
        QString user;
    };

    // A reading to store.
    struct Row
    {
        Device *device;
        Reading reading;
    };

    Device &deviceOf(const Reading &reading);
    void store(Device &device, const Reading &reading);
    void stateChanged(Device &device, ReadingState from, const Reading &reading);
    void addStateEvent(Device &device, std::optional<ReadingState> from, const Reading &reading);
    void journalReturn(Device &device);
    EventPtr addEvent(HistorySchema::EventKind kind, qint64 t, const QString &text, const QString &user = {});
    void systemEvent(const QString &text, const QString &user = {});
    QByteArray payload(const Event &event) const;

    bool openFile(QSqlError &error);
    void loadDevices();
    bool write(QSqlError &error);
    bool setAside();
    void stopped(const QSqlError &error);
    void tick();
    void pruneBatch();

    QString path;
    QString connection;
    QSqlDatabase db;
    QTimer *timer;
    bool recording = true;
    QString reason;
    qint64 dropped = 0;
    QSet<int> outboxKinds;
    int retentionDays = 365;
    qint64 nextPrune = 0;
    int pruneTable = 0;
    int pruneRows = 1000;

    std::map<QString, Device> devices; // by area and name
    QVector<Row> readings;
    QVector<EventPtr> newEvents;
    QVector<EventPtr> changedEvents;
};

#endif
