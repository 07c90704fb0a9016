#include "tempwidget.h"

#include <QtTest>

namespace {

// Limits in the order min alarm, min abnormal, max abnormal, max alarm.
using Limits = QVector<double>;
const Limits Band{0, 10, 60, 80}, Wide{-1e9, -1e8, 1e8, 1e9};

// Left plus right edge of the white text in rows [top, bottom] inside the
// ring: 100 when centred on x = 50.
int textEdges(const QImage &img, int top, int bottom)
{
    int left = 100, right = -100;
    for (int y = top; y <= bottom; ++y)
        for (int x = 16; x < 84; ++x)
            if (qGray(img.pixel(x, y)) >= 160) {
                left = qMin(left, x);
                right = qMax(right, x);
            }
    return left + right;
}

} // namespace

class TstTempWidget : public QObject
{
    Q_OBJECT

private slots:
    void reading_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<Limits>("limits");
        QTest::addColumn<double>("raw");
        QTest::addColumn<int>("state");
        QTest::addColumn<QString>("text"); // value, shown text, label
        QTest::newRow("tenths of a degree") << 0 << Band << 235.0 << int(Normal) << "23.5 23.5 T(℃)";
        QTest::newRow("negative tenths") << 0 << Band << 65526.0 << int(Alarm) << "-1 -1.0 T(℃)";
        QTest::newRow("most negative temperature") << 0 << Band << 32768.0 << int(Alarm) << "-3276.8 -3276.8 T(℃)";
        QTest::newRow("most negative humidity") << 1 << Wide << 32768.0 << int(Normal) << "-32768 -32768 T(%RH)";
        QTest::newRow("most positive voltage") << 2 << Wide << 32767.0 << int(Normal) << "32767 32767 T(mV)";
        QTest::newRow("no reading within limits") << 0 << Wide << 65535.0 << int(Alarm) << "65535 错误 T(℃)";
        QTest::newRow("zero limits") << 0 << Limits(4) << 235.0 << int(Alarm) << "23.5 23.5 T(℃)";
        QTest::newRow("at max alarm") << 1 << Band << 80.0 << int(Alarm) << "80 80 T(%RH)";
        QTest::newRow("at min alarm") << 1 << Band << 0.0 << int(Alarm) << "0 0 T(%RH)";
        QTest::newRow("at max abnormal") << 1 << Band << 60.0 << int(Abnormal) << "60 60 T(%RH)";
        QTest::newRow("just above min abnormal") << 0 << Band << 101.0 << int(Normal) << "10.1 10.1 T(℃)";
        // An unknown type is judged by the signed register, as the recorder does.
        QTest::newRow("unknown type") << 4 << Band << 65526.0 << int(Alarm) << "-10 -10 T";
    }

    void reading()
    {
        QFETCH(int, type);
        QFETCH(Limits, limits);
        QFETCH(double, raw);
        TempWidget tile;
        tile.setName("T");
        tile.setMinTemp(limits[0]);
        tile.setMinUnnormalTemp(limits[1]);
        tile.setMaxUnnormalTemp(limits[2]);
        tile.setMaxTemp(limits[3]);
        tile.setValue(235);
        tile.setDeviceType(type);
        tile.setValue(raw);
        QTEST(int(tile.state()), "state");
        QTEST(QStringList({QString::number(tile.value()), tile.valueText(), tile.labelText()}).join(' '), "text");
    }

    void stateHistory()
    {
        TempWidget tile;
        tile.setMaxTemp(80);
        tile.setMaxUnnormalTemp(60);
        QString steps;
        const auto step = [&] { steps += QString("%1%2 ").arg(tile.state()).arg(tile.previousState()); };
        step(); // never read
        for (double raw : {235, 235, 900}) // the same state again still moves the history
            tile.setValue(raw), step();
        tile.setState(Offline), step(); // still showing the last value
        tile.setMaxUnnormalTemp(70), step(); // new limits wait for the next reading
        tile.setValue(650), step();
        QCOMPARE(steps, QString("33 03 00 20 32 32 03 ")); // Normal 0, Alarm 2, Offline 3
        QCOMPARE(tile.valueText(), QString("65.0"));
    }

    void painting()
    {
        // The widest values of a voltage device, and a long name: a ring of the
        // state's colour on the circle of diameter 90, the disc inside; the
        // reading on the line y = 50, the label on y = 70, both centred; a
        // stale reading on a dashed ring.
        const struct { TileState state; QColor ring; double raw; QString name; bool stale; } cases[] = {
            {Normal, {96, 244, 126}, 40000, "T1", false}, {Abnormal, {247, 104, 9}, 32768, "Oven in the boiler room no. 2", false},
            {Alarm, {247, 9, 9}, 65535, "湿度", true}, {Offline, {220, 220, 220}, 12, "Pump-12", false}};
        for (const auto &c : cases) {
            TempWidget tile;
            tile.setDeviceType(2);
            tile.setName(c.name);
            tile.setValue(c.raw);
            tile.setState(c.state);
            tile.setStale(c.stale);
            const QImage img = tile.grab().toImage().convertToFormat(QImage::Format_RGB32);
            for (const QPoint &p : {QPoint(50, 85), QPoint(15, 50), QPoint(85, 50), QPoint(50, 15)})
                QCOMPARE(QColor(img.pixel(p)), QColor(68, 68, 68));
            QVERIFY2(qAbs(textEdges(img, 30, 50) - 100) <= 6 && qAbs(textEdges(img, 60, 72) - 100) <= 6, qPrintable(c.name));
            int onRing = 0;
            for (int deg = 0; deg < 360; ++deg)
                onRing += QColor(img.pixel(50 + qRound(45 * qCos(qDegreesToRadians(double(deg)))),
                                           50 + qRound(45 * qSin(qDegreesToRadians(double(deg)))))) == c.ring;
            QVERIFY2(c.stale ? onRing > 90 && onRing < 300 : onRing == 360, qPrintable(c.name));
        }
    }
};

QTEST_MAIN(TstTempWidget)
#include "tst_tempwidget.moc"
