#include "tempwidget.h"

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace {

const double NoReading = 65535.0;

QString unitOf(int deviceType)
{
    switch (deviceType) {
    case 0: return QStringLiteral("(℃)");
    case 1: return QStringLiteral("(%RH)");
    case 2: return QStringLiteral("(mV)");
    case 3: return QStringLiteral("(uA)");
    default: return QString();
    }
}

QFont tileFont(int pixelSize)
{
    QFont font;
    font.setFamily(QStringLiteral("Microsoft YaHei"));
    font.setWeight(75);
    font.setPixelSize(pixelSize);
    return font;
}

// Draws text with its baseline centred on x = 50 at height y.
void drawCentred(QPainter &painter, int y, const QString &text)
{
    const int w = painter.fontMetrics().boundingRect(text).width();
    painter.drawText(QPoint(50 - w / 2, y), text);
}

} // namespace

TempWidget::TempWidget(QWidget *parent)
    : QWidget(parent)
{
    setFixedHeight(100);
    setFixedWidth(100);
}

void TempWidget::setValue(double raw)
{
    const bool noReading = raw == NoReading;
    if (!noReading && raw > 32767)
        raw -= 65536;

    switch (m_deviceType) {
    case 0: m_value = raw / 10.0; break;
    case 1:
    case 2:
    case 3: m_value = raw; break;
    default: break; // unknown type: the stored value is judged again
    }

    m_previousState = m_state;
    const double v = m_value;
    if (v >= m_maxTemp || v <= m_minTemp)
        m_state = Alarm;
    else if (v >= m_maxUnnormalTemp || v <= m_minUnnormalTemp)
        m_state = Abnormal;
    else
        m_state = Normal;

    if (noReading) {
        m_value = NoReading;
        m_state = Alarm;
    }
    repaint();
}

void TempWidget::setState(TileState state)
{
    m_previousState = m_state;
    m_state = state;
    repaint();
}

void TempWidget::setDeviceType(int type)
{
    m_deviceType = type;
    repaint();
}

void TempWidget::setName(const QString &name)
{
    m_name = name;
    repaint();
}

void TempWidget::setArea(const QString &area)
{
    m_area = area;
    repaint();
}

void TempWidget::setDeviceAddr(int addr)
{
    m_fullDeviceAddr = addr;
}

void TempWidget::setRegAddr(int addr)
{
    m_regAddr = quint16(addr & 0xFFFF);
}

void TempWidget::setMaxTemp(double limit)
{
    m_maxTemp = limit;
    repaint();
}

void TempWidget::setMinTemp(double limit)
{
    m_minTemp = limit;
    repaint();
}

void TempWidget::setMaxUnnormalTemp(double limit)
{
    m_maxUnnormalTemp = limit;
    repaint();
}

void TempWidget::setMinUnnormalTemp(double limit)
{
    m_minUnnormalTemp = limit;
    repaint();
}

void TempWidget::setStale(bool stale)
{
    if (stale == m_stale)
        return;
    m_stale = stale;
    update();
}

void TempWidget::setHealth(qint64 lastGoodMsecs, int answerMs, int failedReads)
{
    m_monitored = true;
    m_lastGoodMsecs = lastGoodMsecs;
    m_answerMs = answerMs;
    m_failedReads = failedReads;
}

QString TempWidget::fullToolTip() const
{
    if (!m_monitored)
        return toolTip();
    const QString none = QStringLiteral("--");
    return toolTip()
           + tr("\n最近正常读数: %1\n应答时间: %2\n读取失败: %3次")
                 .arg(m_lastGoodMsecs ? QDateTime::fromMSecsSinceEpoch(m_lastGoodMsecs)
                                            .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))
                                      : none,
                      m_answerMs < 0 ? none : tr("%1 ms").arg(m_answerMs), QString::number(m_failedReads));
}

bool TempWidget::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip && m_monitored) {
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), fullToolTip(), this);
        return true;
    }
    return QWidget::event(event);
}

QString TempWidget::valueText() const
{
    // Shown at single precision, six significant digits.
    const float shown = float(m_value);
    if (shown == float(NoReading))
        return QStringLiteral("错误");
    return QStringLiteral("%1").arg(double(shown), 0, 'g');
}

QString TempWidget::labelText() const
{
    return m_name + unitOf(m_deviceType);
}

void TempWidget::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);

    painter.setBrush(QBrush(m_discColor, Qt::SolidPattern));
    painter.drawEllipse(10, 10, 80, 80);

    QColor ring; // stays invalid for a state outside the four
    switch (m_state) {
    case Normal: ring = m_normalColor; break;
    case Abnormal: ring = m_abnormalColor; break;
    case Alarm: ring = m_alarmColor; break;
    case Offline: ring = m_offlineColor; break;
    }
    painter.setPen(QPen(ring, 6, m_stale ? Qt::DashLine : Qt::SolidLine));
    painter.drawEllipse(5, 5, 90, 90);

    painter.setPen(m_textColor);
    painter.setFont(tileFont(20));
    drawCentred(painter, 50, valueText());
    painter.setFont(tileFont(10));
    drawCentred(painter, 70, labelText());
}
