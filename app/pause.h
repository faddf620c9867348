#pragma once

namespace app {

// Waits ms milliseconds while the main thread keeps handling events (so the
// window, clicks and the serial port's queued handlers all run meanwhile).
// Ends early once the application has been told to quit.
void DelayProcessingMessages(int ms);

} // namespace app
