// What the Win32 line sets on a port and how it reads the system's errors,
// apart from the line itself so that they can be checked one by one.
#ifndef TARVO_SERIALLINE_WIN32_H
#define TARVO_SERIALLINE_WIN32_H

#include <windows.h>

// The DCB configure() applies over the port's saved one: the given framing,
// binary, and no flow control of any kind, whatever another program left.
DCB serialLineDcb(const DCB &base, int baud, int dataBits, char parity, int stopBits);

// How long a write of `bytes` may take on a port set as `line` before it
// counts as stalled: the bytes' time on the wire plus a second.
DWORD serialLineWriteTimeoutMs(const DCB &line, int bytes);

// The errno value of a Win32 error. Once the port is open, the errors a
// removed USB adapter gives all become ECONNRESET, as on POSIX.
int serialLineErrno(DWORD error, bool opened);

#endif
