// Sets a baud rate that has no termios constant (such as 56000) the way a
// master does it on Linux. Its own unit: termios2 clashes with <termios.h>.
#ifndef TARVO_TESTS_SIM_CUSTOMRATE_H
#define TARVO_TESTS_SIM_CUSTOMRATE_H

bool setCustomRate(int fd, int baud);

#endif
