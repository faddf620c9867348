#pragma once
// Any line speed in bits per second, through termios2 and BOTHER (kept in a
// file of its own: the kernel's termios header clashes with <termios.h>).

namespace serial {

// Returns 0, or the errno of the refused call.
int SetArbitrarySpeed(int fd, unsigned speed);

} // namespace serial
