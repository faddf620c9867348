#pragma once
// The system's spooler: printers and the default printer from CUPS (which
// honours CUPS_SERVER, LPDEST/PRINTER and lpoptions), pages drawn with Qt
// into a file, each job handed to CUPS by us so that a refusal is seen.

#include "printer/spooler.h"

#include <memory>

namespace printer {

std::unique_ptr<PrintSpooler> MakeCupsSpooler();

} // namespace printer
