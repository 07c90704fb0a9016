// The serial line on Windows: the Win32 communications calls.
#include "serialline.h"

#include <windows.h>

#include <cctype>
#include <cerrno>
#include <new>
#include <string>

namespace {

// The one place where a Win32 error becomes an errno value.
int errnoFromWin32(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EBUSY; // a COM port held by another program or context
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    case ERROR_SEM_TIMEOUT:
    case WAIT_TIMEOUT:
        return ETIMEDOUT;
    case ERROR_BROKEN_PIPE:
    case ERROR_NO_DATA:
        return EPIPE;
    default:
        return EIO; // a vanished adapter, a driver failure
    }
}

// Plain names get the device namespace prefix: CreateFileA only knows COM1
// to COM9 without it, and it does no harm below COM10.
std::string win32PortPath(const char *device)
{
    if (device[0] == '\\' && device[1] == '\\')
        return device;
    return std::string("\\\\.\\") + device;
}

// Windows refuses a second open of a COM port by itself, but not every
// Win32 layer does (wine lets any number of handles share a tty), so the
// port is also claimed through a named mutex: the same exclusivity wherever
// the program runs.
HANDLE claimPort(const std::string &path)
{
    std::string name = "Local\\tarvo.port.";
    for (size_t i = path.rfind('\\') + 1; i < path.size(); ++i)
        name += char(std::toupper(static_cast<unsigned char>(path[i])));
    HANDLE claim = CreateMutexA(nullptr, FALSE, name.c_str());
    if (claim && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(claim);
        SetLastError(ERROR_ACCESS_DENIED); // what Windows reports for a port in use
        return nullptr;
    }
    return claim;
}

class Win32SerialLine final : public SerialLine
{
public:
    ~Win32SerialLine() override
    {
        if (isOpen()) {
            restoreSettings();
            close();
        }
    }

    int open(const char *device) override
    {
        if (isOpen()) {
            errno = EBUSY;
            return -1;
        }
        const std::string path = win32PortPath(device);
        handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return fail();
        claim = claimPort(path);
        saved = DCB();
        saved.DCBlength = sizeof(saved);
        if (!claim || !GetCommState(handle, &saved)) {
            const int rc = fail();
            close();
            return rc;
        }
        return 0;
    }

    int configure(int baud, int dataBits, char parity, int stopBits) override
    {
        DCB dcb = saved;
        dcb.BaudRate = DWORD(baud);
        dcb.ByteSize = BYTE(dataBits);
        dcb.StopBits = stopBits == 1 ? ONESTOPBIT : TWOSTOPBITS;
        if (parity == 'N') {
            dcb.Parity = NOPARITY;
            dcb.fParity = FALSE;
        } else {
            dcb.Parity = parity == 'E' ? EVENPARITY : ODDPARITY;
            dcb.fParity = TRUE;
        }
        dcb.fBinary = TRUE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(handle, &dcb))
            return fail();
        // Until the first read sets its own, bound writes as every wait does:
        // the timeouts the port came with may let a stalled write hang forever.
        return setReadTimeout(1) == 0 ? 0 : -1;
    }

    int read(uint8_t *buf, int max, int timeoutMs) override
    {
        if (setReadTimeout(timeoutMs) < 0)
            return -1;
        DWORD got = 0;
        if (!ReadFile(handle, buf, DWORD(max), &got, nullptr))
            return fail();
        return int(got);
    }

    int write(const uint8_t *buf, int len) override
    {
        DWORD sent = 0;
        if (!WriteFile(handle, buf, DWORD(len), &sent, nullptr))
            return fail();
        return int(sent);
    }

    int discardInput() override { return PurgeComm(handle, PURGE_RXCLEAR) ? 0 : fail(); }

    int restoreSettings() override { return SetCommState(handle, &saved) ? 0 : fail(); }

    int close() override
    {
        if (!isOpen()) {
            errno = EBADF;
            return -1;
        }
        const BOOL ok = CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
        if (claim) {
            CloseHandle(claim);
            claim = nullptr;
        }
        return ok ? 0 : fail();
    }

    bool isOpen() const override { return handle != INVALID_HANDLE_VALUE; }
    long lastSystemError() const override { return long(lastError); }

private:
    int fail()
    {
        lastError = GetLastError();
        errno = errnoFromWin32(lastError);
        return -1;
    }

    // One wait: the interval and the total timeout both get the wait's
    // length, so ReadFile returns when the wanted bytes are in, when nothing
    // came within it, or when the line fell silent that long after a byte.
    // "No limit" uses no timeouts at all (MAXDWORD as the interval would
    // mean "return at once" to the driver).
    int setReadTimeout(int timeoutMs)
    {
        COMMTIMEOUTS t = {};
        const DWORD ms = timeoutMs < 0 ? 0 : DWORD(timeoutMs > 0 ? timeoutMs : 1);
        t.ReadIntervalTimeout = ms;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = ms;
        t.WriteTotalTimeoutMultiplier = 0;
        t.WriteTotalTimeoutConstant = 1000;
        return SetCommTimeouts(handle, &t) ? 0 : fail();
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE claim = nullptr;
    DCB saved = {};
    DWORD lastError = 0;
};

} // namespace

std::unique_ptr<SerialLine> createPlatformSerialLine()
{
    return std::unique_ptr<SerialLine>(new (std::nothrow) Win32SerialLine);
}
