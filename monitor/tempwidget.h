#ifndef TEMPWIDGET_H
#define TEMPWIDGET_H

#include <QColor>
#include <QString>
#include <QWidget>

// A device's state as its tile shows it; the codes are the ones the
// monitoring page counts by.
enum TileState { Normal = 0, Abnormal = 1, Alarm = 2, Offline = 3 };

// The round 100 x 100 picture of one monitored device. It turns a raw
// register reading into a value in the device's units and judges that value
// against the device's four limits.
class TempWidget : public QWidget
{
    Q_OBJECT

public:
    explicit TempWidget(QWidget *parent = nullptr);

    // raw: the register as read, 0 to 65535; 65535 means "no valid reading".
    void setValue(double raw);
    void setState(TileState state);
    void setDeviceType(int type);
    void setName(const QString &name);
    void setArea(const QString &area);
    void setDeviceAddr(int addr);
    void setRegAddr(int addr);
    void setMaxTemp(double limit);
    void setMinTemp(double limit);
    void setMaxUnnormalTemp(double limit);
    void setMinUnnormalTemp(double limit);
    // A reading older than the page allows is drawn with a dashed ring.
    void setStale(bool stale);
    // How the device fared since monitoring started; shown after the tooltip.
    void setHealth(qint64 lastGoodMsecs, int answerMs, int failedReads);

    double value() const { return m_value; }
    TileState state() const { return m_state; }
    TileState previousState() const { return m_previousState; }
    int deviceType() const { return m_deviceType; }
    QString name() const { return m_name; }
    QString area() const { return m_area; }
    quint8 deviceAddr() const { return quint8(m_fullDeviceAddr & 0xFF); }
    // The address as it was set, before it was cut to 8 bits: one above 247
    // names no station and must never be polled as the station its low bits name.
    int fullDeviceAddr() const { return m_fullDeviceAddr; }
    quint16 regAddr() const { return m_regAddr; }
    double maxTemp() const { return m_maxTemp; }
    double minTemp() const { return m_minTemp; }
    double maxUnnormalTemp() const { return m_maxUnnormalTemp; }
    double minUnnormalTemp() const { return m_minUnnormalTemp; }
    bool isStale() const { return m_stale; }
    qint64 lastGoodMsecs() const { return m_lastGoodMsecs; }

    // The two lines the tile draws: the reading ("--" before the first one,
    // "错误" when the module has no sensor) and the name with the unit of the
    // device type.
    QString valueText() const;
    QString labelText() const;
    // The tooltip as shown: the page's lines, then the health once monitored.
    QString fullToolTip() const;

signals:
    // The operator asked for this device's trend: 趋势 in the tile's menu or a double-click.
    void trendRequested();

protected:
    void paintEvent(QPaintEvent *event) override;
    bool event(QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    QColor m_textColor{255, 255, 255, 255};
    QColor m_discColor{68, 68, 68, 255};
    QColor m_normalColor{96, 244, 126, 255};
    QColor m_abnormalColor{247, 104, 9, 255};
    QColor m_alarmColor{247, 9, 9, 255};
    QColor m_offlineColor{220, 220, 220, 255};
    double m_value = 65535.0;
    int m_fullDeviceAddr = 1;
    quint16 m_regAddr = 1;
    double m_maxTemp = 0.0;
    double m_minTemp = 0.0;
    double m_maxUnnormalTemp = 0.0;
    double m_minUnnormalTemp = 0.0;
    QString m_name = QStringLiteral("null");
    QString m_area = QStringLiteral("null");
    TileState m_state = Offline;
    TileState m_previousState = Offline;
    int m_deviceType = 0;
    bool m_stale = false;
    bool m_monitored = false;
    qint64 m_lastGoodMsecs = 0;
    int m_answerMs = -1;
    int m_failedReads = 0;
    bool m_hasReading = false;
};

#endif
