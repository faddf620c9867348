#pragma once
// The system's spooler: printers and the default printer from CUPS (which
// honours CUPS_SERVER, LPDEST/PRINTER and the lpoptions default), pages drawn
// with Qt into a PDF file, each job handed to CUPS by us so that a refusal is
// seen.
//
// Every exchange with the print server is bounded: a server that does not
// answer a request, or takes no data of an upload, for kServerReplyBound is
// reported as not answering (code 1282). While the spooler waits, the
// caller's progress callback runs.

#include "printer/spooler.h"

#include <chrono>
#include <memory>

namespace printer {

inline constexpr std::chrono::milliseconds kServerReplyBound{10000};

// bound: tests shorten it so that a hung server costs them less time.
std::unique_ptr<PrintSpooler> MakeCupsSpooler(std::chrono::milliseconds bound = kServerReplyBound);

} // namespace printer
