#pragma once
// The one rule for every wait the main thread makes inside a handler (the
// receiver's acknowledgement pause, a port's monitor stopping, printing
// waiting for the server):
//
// - the event loop runs: the window paints, timers fire, the serial port's
//   queued handlers run;
// - the user's input that arrives meanwhile (mouse, keyboard, shortcuts, and
//   a close request from the window manager) is held back and handed on, in
//   its order, once the waiting handler has returned to the event loop, so no
//   click handler, dialog, print or scan ever runs nested inside a wait;
// - no modal box opens inside it: one asked for meanwhile (ShowOutsideWaits)
//   opens once the outermost wait has ended, in the order asked;
// - the wait ends early once the application has been told to quit.
//
// Code below app/ does not run the loop itself: it is handed a "we wait"
// callback and the program wires it to one of these.

#include <functional>
#include <memory>

namespace app {

// Holds the user's input while it lives (see above). Waits may nest: each
// hold hands what it took on when it ends, and an outer hold still alive
// takes it again. Without a QApplication it does nothing.
class TUserInputHold {
public:
    TUserInputHold();
    ~TUserInputHold();
    TUserInputHold(const TUserInputHold&) = delete;
    TUserInputHold& operator=(const TUserInputHold&) = delete;

private:
    class Filter;
    std::unique_ptr<Filter> filter_;
};

// Runs show (which opens a modal box) now, or, while one of the waits below
// runs, right after the outermost has ended: each once, in the order asked.
// A box so shown lets the port's handlers, and their waits, run as usual.
// While one shown so is open, later ones queue behind it. Main thread.
void ShowOutsideWaits(std::function<void()> show);

// One of the waits below is running.
bool InsideWait();

// Waits until done() is true (looked at after the loop's work and at least
// every few milliseconds), at most ms milliseconds, under the rule above.
// Returns whether done() held. Without an application object it only
// sleeps and looks.
bool WaitUnderPolicy(int ms, const std::function<bool()>& done = {});

// Waits ms milliseconds under the rule above; nothing for ms <= 0.
void DelayProcessingMessages(int ms);

// Waits, under the same rule, until done() holds: for another thread that
// wakes the event loop when it has finished. done() is checked after each
// batch of events.
void ProcessMessagesUntil(const std::function<bool()>& done);

} // namespace app
