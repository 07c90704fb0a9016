#include "customrate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setCustomRate(int fd, int baud)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~tcflag_t(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = t.c_ospeed = speed_t(baud);
    return ioctl(fd, TCSETS2, &t) == 0;
}
