#include "tempwidget.h"

#include "history/readingstate.h"

#include <QContextMenuEvent>
#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QMenu>
#include <QPainter>
#include <QToolTip>

namespace {

const double NoReading = 65535.0;

QFont tileFont(int pixelSize)
{
    QFont font;
    font.setFamily(QStringLiteral("Microsoft YaHei"));
    font.setWeight(75);
    font.setPixelSize(pixelSize);
    return font;
}

// Draws text with its baseline centred on x = 50 at height y, within the
// width the disc has there: in a smaller font down to minPixels, then cut
// with an ellipsis at the end.
void drawCentred(QPainter &painter, int y, QString text, int pixels, int minPixels, int width)
{
    QFont font = tileFont(pixels);
    while (pixels > minPixels && QFontMetrics(font).boundingRect(text).width() > width)
        font.setPixelSize(--pixels);
    const QFontMetrics metrics(font);
    if (metrics.boundingRect(text).width() > width)
        text = metrics.elidedText(text, Qt::ElideRight, width);
    painter.setFont(font);
    const int w = metrics.boundingRect(text).width();
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
    // The rule the recorder and the push judge by; on the tile a missing
    // sensor is an alarm.
    const quint16 word = quint16(raw);
    const ReadingState judged =
        judgeReading(m_deviceType, word, {m_minTemp, m_minUnnormalTemp, m_maxUnnormalTemp, m_maxTemp});
    m_previousState = m_state;
    m_state = judged == ReadingState::SensorError ? Alarm : TileState(judged);
    m_value = judged == ReadingState::SensorError ? NoReading : valueInUnit(m_deviceType, word);
    m_hasReading = true;
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
    if (!m_hasReading)
        return QStringLiteral("--");
    if (m_value == NoReading)
        return QStringLiteral("错误");
    return ::valueText(m_deviceType, m_value);
}

QString TempWidget::labelText() const
{
    const QString unit = unitOf(m_deviceType);
    return unit.isEmpty() ? m_name : m_name + '(' + unit + ')';
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
    // The disc is 80 wide; the chords at the two text lines leave these widths.
    drawCentred(painter, 50, valueText(), 20, 12, 70);
    drawCentred(painter, 70, labelText(), 10, 8, 60);
}

void TempWidget::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu menu(this);
    menu.addAction(tr("趋势"), this, &TempWidget::trendRequested);
    menu.exec(event->globalPos());
}

void TempWidget::mouseDoubleClickEvent(QMouseEvent *)
{
    emit trendRequested();
}
