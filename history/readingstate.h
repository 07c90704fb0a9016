#ifndef READINGSTATE_H
#define READINGSTATE_H

#include <QMetaType>
#include <QString>

// The state of one reading against its device's limits. The first four codes
// are the ones the monitoring page counts by; history.db stores the code.
enum class ReadingState { Normal = 0, Abnormal = 1, Alarm = 2, Offline = 3, SensorError = 4 };

// A device's four limits in its own unit.
struct DeviceLimits
{
    double alarmLow = 0;     // MinTemp
    double abnormalLow = 0;  // MinUnnormalTemp
    double abnormalHigh = 0; // MaxUnnormalTemp
    double alarmHigh = 0;    // MaxTemp
};

// The register value that means "no sensor" on every module type.
constexpr quint16 SensorErrorRaw = 0xFFFF;

// The register as a value in the device's unit: temperatures (type 0) are
// signed tenths of a degree, the other types signed whole units. An unknown
// type gives the signed register.
double valueInUnit(int deviceType, quint16 raw);

// The tile's rule, used by the tile, the recorder and the push alike:
// at or beyond an alarm limit is Alarm, else at or beyond an abnormal limit
// is Abnormal, else Normal; 0xFFFF is SensorError.
ReadingState judgeReading(int deviceType, quint16 raw, const DeviceLimits &limits);

// A value in the device's unit as every page shows it: temperatures with one
// decimal, the other types in whole units. No unit.
QString valueText(int deviceType, double value);

// "℃", "%RH", "mV", "uA"; empty for an unknown type.
QString unitOf(int deviceType);

// The state's short name in JSON and CSV: normal, abnormal, alarm, offline, sensor_error.
QString stateName(ReadingState state);

// The state as the journal words it: 正常, 异常, 报警, 离线, 传感器错误.
QString stateText(ReadingState state);

// One poll result as it leaves the poll thread: which device, when, and what
// came back. Travels by value through queued connections.
struct Reading
{
    QString area;
    QString name;
    int deviceType = 0;
    DeviceLimits limits;
    qint64 msecs = 0;   // milliseconds since the epoch, UTC
    bool ok = false;    // false: no valid answer (offline)
    quint16 raw = 0;    // meaningful when ok
    ReadingState state = ReadingState::Offline;
    double value = 0;   // in the device's unit; meaningful when ok and not SensorError
};

// Fills state and value from ok, raw, deviceType and limits.
void judge(Reading &reading);

Q_DECLARE_METATYPE(Reading)

#endif
