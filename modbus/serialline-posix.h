// What the POSIX line sets on a port, apart from the line itself so that it
// can be checked setting by setting (a pseudo-terminal keeps no parity bit).
#ifndef TARVO_SERIALLINE_POSIX_H
#define TARVO_SERIALLINE_POSIX_H

#include <termios.h>

// The settings configure() applies over the port's saved ones: raw, receiver
// on, modem lines ignored, no flow control, the given framing. A rate without
// a Bxxxx constant comes out as B9600; configure() then sets the exact rate.
termios serialLineTermios(const termios &base, int baud, int dataBits, char parity, int stopBits);

#endif
