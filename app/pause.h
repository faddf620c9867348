#pragma once

#include <functional>

namespace app {

// Waits ms milliseconds while the main thread keeps handling events (so the
// window paints, timers run and the serial port's queued handlers run
// meanwhile). Ends early once the application has been told to quit.
//
// The user's input that arrives meanwhile (mouse, keyboard, shortcuts, and a
// close request from the window manager) is held back and handed on in its
// order once the caller has returned to the event loop, so no click handler,
// dialog, print or scan ever runs nested inside the caller. Input for a
// modal box opened inside the pause still reaches it at once.
void DelayProcessingMessages(int ms);

// Waits, under the same rule, until done() holds: for another thread that
// wakes the event loop when it has finished. done() is checked after each
// batch of events.
void ProcessMessagesUntil(const std::function<bool()>& done);

} // namespace app
