#include "serial/termios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace serial {

int SetArbitrarySpeed(int fd, unsigned speed) {
    struct termios2 t;
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = speed;
    t.c_ospeed = speed;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

} // namespace serial
