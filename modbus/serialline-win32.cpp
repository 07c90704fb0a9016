// The serial line on Windows: the Win32 communications calls.
#include "serialline-win32.h"
#include "serialline.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <new>
#include <string>

namespace {

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
            return fail(false);
        claim = claimPort(path);
        saved = DCB();
        saved.DCBlength = sizeof(saved);
        if (!claim || !GetCommState(handle, &saved)) {
            const int rc = fail(false);
            close();
            return rc;
        }
        line = saved;
        return 0;
    }

    int configure(int baud, int dataBits, char parity, int stopBits) override
    {
        DCB dcb = serialLineDcb(saved, baud, dataBits, parity, stopBits);
        if (!SetCommState(handle, &dcb))
            return fail();
        line = dcb;
        // Ours from here on: with the timeouts the port came with a stalled
        // write might hang forever.
        timeouts = COMMTIMEOUTS();
        timeouts.ReadIntervalTimeout = timeouts.ReadTotalTimeoutConstant = 1;
        timeouts.WriteTotalTimeoutConstant = serialLineWriteTimeoutMs(line, 0);
        return SetCommTimeouts(handle, &timeouts) ? 0 : fail();
    }

    int read(uint8_t *buf, int max, long long timeoutUs) override
    {
        if (setReadTimeout(timeoutUs) < 0)
            return -1;
        DWORD got = 0;
        if (!ReadFile(handle, buf, DWORD(max), &got, nullptr))
            return fail();
        return int(got);
    }

    int write(const uint8_t *buf, int len) override
    {
        const DWORD limit = serialLineWriteTimeoutMs(line, len);
        if (timeouts.WriteTotalTimeoutConstant != limit) {
            timeouts.WriteTotalTimeoutConstant = limit;
            if (!SetCommTimeouts(handle, &timeouts)) {
                timeouts.WriteTotalTimeoutConstant = 0; // unknown: set again next time
                return fail();
            }
        }
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
    int fail(bool opened = true)
    {
        lastError = GetLastError();
        errno = serialLineErrno(lastError, opened);
        return -1;
    }

    // One wait: the interval and the total timeout both get the wait's
    // length, so ReadFile returns when the wanted bytes are in, when nothing
    // came within it, or when the line fell silent that long after a byte.
    // The driver counts milliseconds: a shorter wait takes one. No wait at
    // all is MAXDWORD as the interval (return at once with what is there);
    // no limit is no timeouts at all.
    int setReadTimeout(long long timeoutUs)
    {
        DWORD interval = 0, total = 0;
        if (timeoutUs == 0)
            interval = MAXDWORD;
        else if (timeoutUs > 0)
            interval = total = DWORD(std::min((timeoutUs + 999) / 1000, 0x7FFFFFFFLL));
        if (timeouts.ReadIntervalTimeout == interval && timeouts.ReadTotalTimeoutConstant == total)
            return 0;
        timeouts.ReadIntervalTimeout = interval;
        timeouts.ReadTotalTimeoutConstant = total;
        if (SetCommTimeouts(handle, &timeouts))
            return 0;
        timeouts.ReadTotalTimeoutConstant = MAXDWORD; // unknown: set again next time
        return fail();
    }

    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE claim = nullptr;
    DCB saved = {};
    DCB line = {}; // as configured
    COMMTIMEOUTS timeouts = {};
    DWORD lastError = 0;
};

} // namespace

DCB serialLineDcb(const DCB &base, int baud, int dataBits, char parity, int stopBits)
{
    DCB dcb = base;
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
    // A port left in handshake mode by another program would hold back every
    // write on a two-wire adapter, which has no CTS or DSR to give.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    // Toggle is the direction control of some RS-485 adapters: kept.
    if (dcb.fRtsControl != RTS_CONTROL_TOGGLE)
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // Zero bytes are data, and nothing is replaced.
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    return dcb;
}

DWORD serialLineWriteTimeoutMs(const DCB &line, int bytes)
{
    const int stopBits = line.StopBits == ONESTOPBIT ? 1 : 2;
    const int charBits = serialLineCharBits(line.ByteSize, line.Parity == NOPARITY ? 'N' : 'E', stopBits);
    return DWORD(1000 + (serialLineTransmitUs(bytes, int(line.BaudRate), charBits) + 999) / 1000);
}

int serialLineErrno(DWORD error, bool opened)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        // At open: another program or context holds the port. Later: the
        // adapter was pulled out under the open handle.
        return opened ? ECONNRESET : EBUSY;
    case ERROR_SHARING_VIOLATION:
        return EBUSY;
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_GEN_FAILURE:
    case ERROR_OPERATION_ABORTED:
        return ECONNRESET; // what USB serial drivers give once the adapter is gone
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
        return EIO;
    }
}

std::unique_ptr<SerialLine> createPlatformSerialLine()
{
    return std::unique_ptr<SerialLine>(new (std::nothrow) Win32SerialLine);
}
