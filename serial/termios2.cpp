#include "serial/termios2.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/ioctl.h>

namespace serial {

static_assert(sizeof(TKernelTermios) == sizeof(struct termios2));
static_assert(offsetof(TKernelTermios, c_cc) == offsetof(struct termios2, c_cc));
static_assert(offsetof(TKernelTermios, c_ispeed) == offsetof(struct termios2, c_ispeed));
static_assert(sizeof(TKernelTermios::c_cc) == sizeof(termios2::c_cc));
static_assert(kBOTHER == BOTHER && kIBSHIFT == IBSHIFT);

int GetKernelTermios(int fd, TKernelTermios& t) {
    struct termios2 k;
    if (::ioctl(fd, TCGETS2, &k) != 0)
        return errno;
    std::memcpy(static_cast<void*>(&t), &k, sizeof k);
    return 0;
}

int SetKernelTermios(int fd, const TKernelTermios& t) {
    struct termios2 k;
    std::memcpy(&k, &t, sizeof k);
    return ::ioctl(fd, TCSETS2, &k) == 0 ? 0 : errno;
}

} // namespace serial
