#include "tempwidget.h"

#include <QImage>
#include <QtTest>

class TstTempWidget : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void reading_data();
    void reading();
    void labelByType_data();
    void labelByType();
    void stateHistory();
    void addressesKeepTheirLowBits();
    void ringAndDisc_data();
    void ringAndDisc();
    void textIsCentred_data();
    void textIsCentred();
};

namespace {

// Limits in the order min alarm, min abnormal, max abnormal, max alarm.
struct Limits { double min, minUn, maxUn, max; };
const Limits Band{0, 10, 60, 80};
const Limits Zero{0, 0, 0, 0};
const Limits Wide{-1e9, -1e8, 1e8, 1e9};

void applyLimits(TempWidget &tile, const Limits &l)
{
    tile.setMinTemp(l.min);
    tile.setMinUnnormalTemp(l.minUn);
    tile.setMaxUnnormalTemp(l.maxUn);
    tile.setMaxTemp(l.max);
}

QImage picture(TempWidget &tile)
{
    return tile.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

bool near(QRgb a, const QColor &b)
{
    return qAbs(qRed(a) - b.red()) <= 2 && qAbs(qGreen(a) - b.green()) <= 2 && qAbs(qBlue(a) - b.blue()) <= 2;
}

// Horizontal extent of the text pixels (much brighter than the disc) in rows
// [top, bottom], looking only inside the disc so the ring never counts.
QPair<int, int> textExtent(const QImage &img, int top, int bottom)
{
    int left = 100, right = -1;
    for (int y = top; y <= bottom; ++y)
        for (int x = 0; x < img.width(); ++x) {
            const int dx = x - 50, dy = y - 50;
            if (dx * dx + dy * dy > 38 * 38 || qGray(img.pixel(x, y)) < 160)
                continue;
            left = qMin(left, x);
            right = qMax(right, x);
        }
    return {left, right};
}

} // namespace

Q_DECLARE_METATYPE(Limits)

void TstTempWidget::construction()
{
    TempWidget tile;
    QCOMPARE(tile.size(), QSize(100, 100));
    QCOMPARE(tile.minimumSize(), tile.maximumSize());
    QCOMPARE(tile.value(), 65535.0);
    QCOMPARE(tile.state(), Offline);
    QCOMPARE(tile.previousState(), Offline);
    QCOMPARE(tile.valueText(), QStringLiteral("错误"));
    QCOMPARE(tile.labelText(), QStringLiteral("null(℃)"));
    QCOMPARE(tile.deviceAddr(), quint8(1));
    QCOMPARE(tile.regAddr(), quint16(1));
}

void TstTempWidget::reading_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<Limits>("limits");
    QTest::addColumn<int>("before"); // a reading taken as a temperature first, -1 for none
    QTest::addColumn<double>("raw");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");

    QTest::newRow("tenths of a degree") << 0 << Band << -1 << 235.0 << 23.5 << int(Normal) << "23.5";
    QTest::newRow("negative tenths") << 0 << Band << -1 << 65526.0 << -1.0 << int(Alarm) << "-1";
    QTest::newRow("most negative temperature") << 0 << Band << -1 << 32768.0 << -3276.8 << int(Alarm) << "-3276.8";
    QTest::newRow("most positive temperature") << 0 << Band << -1 << 32767.0 << 3276.7 << int(Alarm) << "3276.7";
    QTest::newRow("humidity is unscaled") << 1 << Band << -1 << 45.0 << 45.0 << int(Normal) << "45";
    QTest::newRow("most negative humidity") << 1 << Wide << -1 << 32768.0 << -32768.0 << int(Normal) << "-32768";
    QTest::newRow("most positive voltage") << 2 << Wide << -1 << 32767.0 << 32767.0 << int(Normal) << "32767";
    QTest::newRow("negative current") << 3 << Wide << -1 << 65534.0 << -2.0 << int(Normal) << "-2";
    QTest::newRow("no reading, temperature") << 0 << Wide << -1 << 65535.0 << 65535.0 << int(Alarm) << "错误";
    QTest::newRow("no reading, voltage") << 2 << Wide << -1 << 65535.0 << 65535.0 << int(Alarm) << "错误";
    QTest::newRow("zero limits, positive") << 0 << Zero << -1 << 235.0 << 23.5 << int(Alarm) << "23.5";
    QTest::newRow("zero limits, zero") << 1 << Zero << -1 << 0.0 << 0.0 << int(Alarm) << "0";
    QTest::newRow("zero limits, negative") << 0 << Zero << -1 << 65535.0 - 1 << -0.2 << int(Alarm) << "-0.2";
    QTest::newRow("at max alarm") << 1 << Band << -1 << 80.0 << 80.0 << int(Alarm) << "80";
    QTest::newRow("at min alarm") << 1 << Band << -1 << 0.0 << 0.0 << int(Alarm) << "0";
    QTest::newRow("at max abnormal") << 1 << Band << -1 << 60.0 << 60.0 << int(Abnormal) << "60";
    QTest::newRow("at min abnormal") << 1 << Band << -1 << 10.0 << 10.0 << int(Abnormal) << "10";
    QTest::newRow("just below max abnormal") << 0 << Band << -1 << 599.0 << 59.9 << int(Normal) << "59.9";
    QTest::newRow("just above min abnormal") << 0 << Band << -1 << 101.0 << 10.1 << int(Normal) << "10.1";
    QTest::newRow("exactly 80 degrees") << 0 << Band << -1 << 800.0 << 80.0 << int(Alarm) << "80";
    QTest::newRow("between alarm and abnormal") << 0 << Band << -1 << 50.0 << 5.0 << int(Abnormal) << "5";
    QTest::newRow("unknown type keeps its value") << 4 << Band << 235 << 900.0 << 23.5 << int(Normal) << "23.5";
    QTest::newRow("unknown type, nothing read yet") << 4 << Band << -1 << 900.0 << 65535.0 << int(Alarm) << "错误";
    QTest::newRow("unknown type, no reading") << 4 << Wide << 235 << 65535.0 << 65535.0 << int(Alarm) << "错误";
}

void TstTempWidget::reading()
{
    QFETCH(int, type);
    QFETCH(Limits, limits);
    QFETCH(int, before);
    QFETCH(double, raw);
    QFETCH(double, value);
    QFETCH(int, state);
    QFETCH(QString, text);

    TempWidget tile;
    applyLimits(tile, limits);
    if (before >= 0)
        tile.setValue(before);
    tile.setDeviceType(type);
    tile.setValue(raw);
    QCOMPARE(tile.value(), value);
    QCOMPARE(int(tile.state()), state);
    QCOMPARE(tile.valueText(), text);
}

void TstTempWidget::labelByType_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("label");
    QTest::newRow("temperature") << 0 << "Boiler(℃)";
    QTest::newRow("humidity") << 1 << "Boiler(%RH)";
    QTest::newRow("voltage") << 2 << "Boiler(mV)";
    QTest::newRow("current") << 3 << "Boiler(uA)";
    QTest::newRow("unknown") << 4 << "Boiler";
    QTest::newRow("negative") << -1 << "Boiler";
}

void TstTempWidget::labelByType()
{
    QFETCH(int, type);
    QFETCH(QString, label);
    TempWidget tile;
    tile.setName(QStringLiteral("Boiler"));
    tile.setDeviceType(type);
    QCOMPARE(tile.labelText(), label);
}

void TstTempWidget::stateHistory()
{
    TempWidget tile;
    applyLimits(tile, Band);

    tile.setValue(235);
    QCOMPARE(tile.state(), Normal);
    QCOMPARE(tile.previousState(), Offline);

    tile.setValue(235); // same state again: the history still moves
    QCOMPARE(tile.previousState(), Normal);

    tile.setValue(900);
    QCOMPARE(tile.state(), Alarm);
    QCOMPARE(tile.previousState(), Normal);

    tile.setState(Offline);
    QCOMPARE(tile.state(), Offline);
    QCOMPARE(tile.previousState(), Alarm);
    QCOMPARE(tile.value(), 90.0);
    QCOMPARE(tile.valueText(), QStringLiteral("90"));

    tile.setValue(650);
    QCOMPARE(tile.state(), Abnormal);
    QCOMPARE(tile.previousState(), Offline);

    // New limits are not applied until the next reading.
    tile.setMaxUnnormalTemp(70);
    QCOMPARE(tile.state(), Abnormal);
    tile.setValue(650);
    QCOMPARE(tile.state(), Normal);
    QCOMPARE(tile.previousState(), Abnormal);
}

void TstTempWidget::addressesKeepTheirLowBits()
{
    TempWidget tile;
    tile.setDeviceAddr(300);
    tile.setRegAddr(70000);
    QCOMPARE(tile.deviceAddr(), quint8(44));
    QCOMPARE(tile.regAddr(), quint16(4464));
    tile.setDeviceAddr(247);
    tile.setRegAddr(65535);
    QCOMPARE(tile.deviceAddr(), quint8(247));
    QCOMPARE(tile.regAddr(), quint16(65535));
}

void TstTempWidget::ringAndDisc_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("ring");
    QTest::newRow("normal") << int(Normal) << QColor(96, 244, 126);
    QTest::newRow("abnormal") << int(Abnormal) << QColor(247, 104, 9);
    QTest::newRow("alarm") << int(Alarm) << QColor(247, 9, 9);
    QTest::newRow("offline") << int(Offline) << QColor(220, 220, 220);
}

void TstTempWidget::ringAndDisc()
{
    QFETCH(int, state);
    QFETCH(QColor, ring);

    TempWidget tile;
    tile.setValue(235);
    tile.setState(TileState(state));
    const QImage img = picture(tile);
    const QColor disc(68, 68, 68);

    // The ring is 6 pixels wide around the circle of diameter 90.
    for (const QPoint &p : {QPoint(50, 5), QPoint(5, 50), QPoint(94, 50), QPoint(50, 94), QPoint(50, 3), QPoint(50, 7)})
        QVERIFY2(near(img.pixel(p), ring), qPrintable(QStringLiteral("ring at %1,%2").arg(p.x()).arg(p.y())));
    // Inside it the disc, where no text lies.
    for (const QPoint &p : {QPoint(50, 85), QPoint(15, 50), QPoint(85, 50), QPoint(50, 15), QPoint(11, 50)})
        QVERIFY2(near(img.pixel(p), disc), qPrintable(QStringLiteral("disc at %1,%2").arg(p.x()).arg(p.y())));
    // Outside the ring the tile is not painted.
    QVERIFY(!near(img.pixel(0, 0), ring));
    QVERIFY(!near(img.pixel(0, 0), disc));
}

void TstTempWidget::textIsCentred_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("raw");
    QTest::addColumn<QString>("name");
    QTest::newRow("short reading, short name") << 0 << 235.0 << "T1";
    QTest::newRow("long reading") << 0 << 32768.0 << "Oven";
    QTest::newRow("no reading") << 1 << 65535.0 << "湿度";
    QTest::newRow("long name") << 2 << 12.0 << "Pump-12";
}

void TstTempWidget::textIsCentred()
{
    QFETCH(int, type);
    QFETCH(double, raw);
    QFETCH(QString, name);

    TempWidget tile;
    tile.setDeviceType(type);
    tile.setName(name);
    tile.setValue(raw);
    const QImage img = picture(tile);

    // The reading stands on the line y = 50, the label on y = 70.
    const auto reading = textExtent(img, 30, 50);
    const auto label = textExtent(img, 60, 72);
    QVERIFY2(reading.second > reading.first + 8, "no reading drawn");
    QVERIFY2(label.second > label.first + 8, "no label drawn");
    QVERIFY2(qAbs(reading.first + reading.second - 100) <= 6,
             qPrintable(QStringLiteral("reading spans %1..%2").arg(reading.first).arg(reading.second)));
    QVERIFY2(qAbs(label.first + label.second - 100) <= 6,
             qPrintable(QStringLiteral("label spans %1..%2").arg(label.first).arg(label.second)));
    // Nothing of the text below the label's line.
    const auto below = textExtent(img, 76, 88);
    QVERIFY(below.second < 0);
}

QTEST_MAIN(TstTempWidget)
#include "tst_tempwidget.moc"
