#pragma once
// The two questions any Linux program answers on its command line. Quillprint
// takes no other arguments: everything else on the line is ignored, Qt's own
// options (-platform, -style, ...) are left to Qt.

#include <QString>

namespace app {

enum class TCommandLineRequest { Run, Help, Version };

// The first of --help (-h) or --version (-V) before a "--" wins; long names may
// be shortened as getopt allows (--he, --vers). Anything else means Run.
TCommandLineRequest ParseCommandLine(int argc, const char* const* argv);

// The answers, through the message catalogues; they need an application
// object for that (a QCoreApplication will do: no display is needed).
QString HelpText();
QString VersionText();

} // namespace app
