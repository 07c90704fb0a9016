// Rates without a Bxxxx constant go through termios2 and BOTHER. The kernel
// headers that define them clash with <termios.h>, hence a unit of their own.
#include <cerrno>

#ifdef __linux__
#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

int serialLineSetCustomSpeed(int fd, int baud)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) < 0)
        return -1;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = unsigned(baud);
    t.c_ospeed = unsigned(baud);
    return ioctl(fd, TCSETS2, &t);
}
#else
int serialLineSetCustomSpeed(int, int)
{
    errno = EINVAL;
    return -1;
}
#endif
