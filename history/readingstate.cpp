#include "readingstate.h"

double valueInUnit(int deviceType, quint16 raw)
{
    const double signedRaw = qint16(raw);
    return deviceType == 0 ? signedRaw / 10.0 : signedRaw;
}

ReadingState judgeReading(int deviceType, quint16 raw, const DeviceLimits &limits)
{
    if (raw == SensorErrorRaw)
        return ReadingState::SensorError;
    const double v = valueInUnit(deviceType, raw);
    if (v >= limits.alarmHigh || v <= limits.alarmLow)
        return ReadingState::Alarm;
    if (v >= limits.abnormalHigh || v <= limits.abnormalLow)
        return ReadingState::Abnormal;
    return ReadingState::Normal;
}

QString valueText(int deviceType, double value)
{
    return QString::number(value, 'f', deviceType == 0 ? 1 : 0);
}

QString unitOf(int deviceType)
{
    switch (deviceType) {
    case 0: return QStringLiteral("℃");
    case 1: return QStringLiteral("%RH");
    case 2: return QStringLiteral("mV");
    case 3: return QStringLiteral("uA");
    default: return QString();
    }
}

QString stateName(ReadingState state)
{
    switch (state) {
    case ReadingState::Normal: return QStringLiteral("normal");
    case ReadingState::Abnormal: return QStringLiteral("abnormal");
    case ReadingState::Alarm: return QStringLiteral("alarm");
    case ReadingState::Offline: return QStringLiteral("offline");
    case ReadingState::SensorError: return QStringLiteral("sensor_error");
    }
    return QString();
}

QString stateText(ReadingState state)
{
    switch (state) {
    case ReadingState::Normal: return QStringLiteral("正常");
    case ReadingState::Abnormal: return QStringLiteral("异常");
    case ReadingState::Alarm: return QStringLiteral("报警");
    case ReadingState::Offline: return QStringLiteral("离线");
    case ReadingState::SensorError: return QStringLiteral("传感器错误");
    }
    return QString();
}

void judge(Reading &reading)
{
    if (!reading.ok) {
        reading.state = ReadingState::Offline;
        return;
    }
    reading.state = judgeReading(reading.deviceType, reading.raw, reading.limits);
    reading.value = valueInUnit(reading.deviceType, reading.raw);
}
