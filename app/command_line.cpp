#include "app/command_line.h"

#include <QCoreApplication>

#include <string_view>

#ifndef QP_VERSION
#define QP_VERSION "2.0"
#endif

namespace app {

namespace {

// "--he" stands for "--help" as getopt_long would have it; "--" alone is not
// an abbreviation of anything.
bool IsLongOption(std::string_view arg, std::string_view name)
{
    return arg.size() > 2 && arg.substr(0, 2) == "--" && name.substr(0, arg.size()) == arg;
}

} // namespace

TCommandLineRequest ParseCommandLine(int argc, const char* const* argv)
{
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == "-h" || IsLongOption(arg, "--help"))
            return TCommandLineRequest::Help;
        if (arg == "-V" || IsLongOption(arg, "--version"))
            return TCommandLineRequest::Version;
    }
    return TCommandLineRequest::Run;
}

QString HelpText()
{
    const QString blank = QStringLiteral("\n\n");
    return QCoreApplication::translate("Quillprint", "Usage: quillprint [OPTION]") + u'\n' +
           QCoreApplication::translate(
               "Quillprint",
               "Takes the place of the paper printer of an electronic pigeon clock: receives the\n"
               "clock's race and training reports over the serial line, shows them in a window\n"
               "and prints them on the computer's printer.") +
           blank +
           QCoreApplication::translate(
               "Quillprint",
               "The clock's serial port is chosen in the window; other arguments are ignored.") +
           blank +
           QCoreApplication::translate("Quillprint",
                                       "  -h, --help     display this help and exit") +
           u'\n' +
           QCoreApplication::translate("Quillprint",
                                       "  -V, --version  output version information and exit") +
           blank +
           QCoreApplication::translate(
               "Quillprint",
               "Serial ports are open to the members of the \"dialout\" group: as root, run\n"
               "\"adduser USER dialout\" with your user name, then log in again.") +
           u'\n';
}

QString VersionText()
{
    return QStringLiteral("quillprint " QP_VERSION "\n");
}

} // namespace app
