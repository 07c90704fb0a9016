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
    // to 9600); dataBits 5..8; parity 'N', 'E' or 'O'; stopBits 1 or 2. No
    // flow control of any kind: a two-wire bus has no handshake lines.
    virtual int configure(int baud, int dataBits, char parity, int stopBits) = 0;
    // Waits up to timeoutUs (< 0: without limit; 0: takes only what is
    // already there) and returns as soon as `max` bytes are in, or when
    // timeoutUs has passed since the call; returns the count read, 0 when
    // nothing arrived, -1 on failure (a vanished device included: ECONNRESET).
    virtual int read(uint8_t *buf, int max, long long timeoutUs) = 0;
    // Writes the whole buffer; returns the count written or -1. A write the
    // port holds back fails within a second of the time its bytes take on
    // the wire, instead of hanging.
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

// Bits one character takes on the wire: start, data, parity, stop.
inline int serialLineCharBits(int dataBits, char parity, int stopBits)
{
    return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits;
}

// How long `bytes` characters take on the wire, in microseconds.
inline long long serialLineTransmitUs(int bytes, int baud, int charBits)
{
    return baud > 0 ? (long long)bytes * charBits * 1000000 / baud : 0;
}

#endif
