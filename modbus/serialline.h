// The serial line under the RTU backend. One implementation per platform
// (termios on POSIX, the Win32 communications calls on Windows); tests and
// the fuzz harness put their own line under a context instead.
#ifndef TARVO_SERIALLINE_H
#define TARVO_SERIALLINE_H

#include <cstdint>
#include <memory>

class SerialLine
{
public:
    virtual ~SerialLine() = default;

    // Every call that can fail returns -1 and leaves the system error number
    // in errno (Win32: the mapped GetLastError()); lastSystemError() keeps the
    // platform's own code for the debug prints.

    // Opens an existing port for reading and writing, exclusively, and saves
    // its current settings so that close() can restore them.
    virtual int open(const char *device) = 0;
    // baud is one of the supported rates (the caller has already fallen back
    // to 9600); dataBits 5..8; parity 'N', 'E' or 'O'; stopBits 1 or 2.
    virtual int configure(int baud, int dataBits, char parity, int stopBits) = 0;
    // Waits up to timeoutMs (< 0: without limit) and returns as soon as `max`
    // bytes are in, or when timeoutMs has passed since the call; returns the
    // count read, 0 when nothing arrived, -1 on failure (a vanished device
    // included).
    virtual int read(uint8_t *buf, int max, int timeoutMs) = 0;
    // Writes the whole buffer; returns the count written or -1.
    virtual int write(const uint8_t *buf, int len) = 0;
    // Drops whatever input is pending; 0 or -1.
    virtual int discardInput() = 0;
    // Puts back the settings saved by open(); 0 or -1.
    virtual int restoreSettings() = 0;
    // Closes the port; 0 or -1 (the line is closed either way).
    virtual int close() = 0;
    virtual bool isOpen() const = 0;
    virtual long lastSystemError() const = 0;
};

std::unique_ptr<SerialLine> createPlatformSerialLine();

#endif
