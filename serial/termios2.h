#pragma once
// The kernel's own termios2 structure, handed over with TCSETS2 and read
// back with TCGETS2 (kept in a file of its own: the kernel's termios header
// clashes with <termios.h>). Flag and c_cc index values are those of
// <termios.h>, which on Linux are the kernel's.

#include <cstdint>

namespace serial {

struct TKernelTermios {
    std::uint32_t c_iflag = 0, c_oflag = 0, c_cflag = 0, c_lflag = 0;
    std::uint8_t c_line = 0;
    std::uint8_t c_cc[19] = {};
    std::uint32_t c_ispeed = 0, c_ospeed = 0;
};

// Speed code for "the speed is in c_ispeed/c_ospeed", and the shift of the
// input speed field (CIBAUD) over the output one (CBAUD).
inline constexpr std::uint32_t kBOTHER = 0010000;
inline constexpr int kIBSHIFT = 16;

// Both return 0, or the errno of the refused call.
int GetKernelTermios(int fd, TKernelTermios& t);
int SetKernelTermios(int fd, const TKernelTermios& t);

} // namespace serial
