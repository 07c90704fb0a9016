#include "portlist.h"

#include <QtTest>

#include <windows.h>

// Writes values of its own into the machine's serial port map, so it runs
// only in a throw-away wine prefix (scripts/test-windows-gui).
class tst_PortList : public QObject
{
    Q_OBJECT

private slots:
    void listsRegistryValues_data()
    {
        const auto wide = [](const wchar_t *text, int chars) {
            return QByteArray(reinterpret_cast<const char *>(text), chars * int(sizeof(wchar_t)));
        };
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<int>("type");
        QTest::addColumn<QStringList>("listed");
        QTest::newRow("string") << wide(L"COM77", 6) << int(REG_SZ) << QStringList{"COM77"};
        QTest::newRow("string without its NUL") << wide(L"COM78", 5) << int(REG_SZ) << QStringList{"COM78"};
        QTest::newRow("empty string") << wide(L"", 1) << int(REG_SZ) << QStringList();
        QTest::newRow("not a string") << QByteArray("\x4d\0\0\0", 4) << int(REG_DWORD) << QStringList();
    }

    void listsRegistryValues()
    {
        QFETCH(QByteArray, data);
        QFETCH(int, type);
        QFETCH(QStringList, listed);
        HKEY key;
        QCOMPARE(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                 REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key, nullptr),
                 LONG(ERROR_SUCCESS));
        const QStringList before = availablePortNames();
        const wchar_t *device = L"\\Device\\TarvoTest";
        QCOMPARE(RegSetValueExW(key, device, 0, DWORD(type), reinterpret_cast<const BYTE *>(data.constData()),
                                DWORD(data.size())),
                 LONG(ERROR_SUCCESS));
        QStringList added = availablePortNames();
        RegDeleteValueW(key, device);
        RegCloseKey(key);
        for (const QString &port : before)
            QVERIFY2(added.removeOne(port), qPrintable(port + " is no longer listed"));
        QCOMPARE(added, listed);
    }
};

QTEST_GUILESS_MAIN(tst_PortList)
#include "tst_portlist.moc"
