#include "portlist.h"

#include <windows.h>

QStringList availablePortNames()
{
    QStringList names;
    HKEY key;
    // The key only exists once a serial driver has entered a port.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key)
        != ERROR_SUCCESS)
        return names;
    for (DWORD i = 0;; ++i) {
        wchar_t device[256];
        DWORD deviceLength = sizeof device / sizeof *device;
        wchar_t port[64];
        DWORD portBytes = sizeof port;
        DWORD type = 0;
        const LONG rc = RegEnumValueW(key, i, device, &deviceLength, nullptr, &type,
                                      reinterpret_cast<BYTE *>(port), &portBytes);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        // A value too long for a port name, or not a string, names no port.
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        // The stored string need not end in a NUL.
        QString name = QString::fromWCharArray(port, int(portBytes / sizeof *port));
        while (name.endsWith(QChar(0)))
            name.chop(1);
        if (!name.isEmpty())
            names << name;
    }
    RegCloseKey(key);
    return names;
}
