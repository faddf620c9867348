// Quillprint: takes the place of a pigeon clock's paper printer.

#include <QIcon>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "app/application.h"
#include "app/command_line.h"
#include "app/comport_dispatch_qt.h"
#include "app/pause.h"
#include "app/form1.h"
#include "app/printout_keeper.h"
#include "app/qt_translator.h"
#include "app/sheet_commands.h"
#include "i18n/gettext.h"
#include "printer/errors.h"

namespace {

// For the start-up benchmark and the installed-program check: once the
// window is up and the loop idle, say so with the resident size and the
// catalogue in use, and end.
void ReportShownAndQuit()
{
    long rssKb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
    const std::string catalogue = i18n::CataloguePath("default");
    std::printf("shown rss_kb=%ld catalogue=%s\n", rssKb, catalogue.empty() ? "none" : catalogue.c_str());
    std::fflush(stdout);
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char** argv)
{
    const app::TCommandLineRequest request = app::ParseCommandLine(argc, argv);
    // Catalogues first: the serial port's message table is built through
    // them before anything can fail.
    const app::CatalogueReport catalogueReport = app::InitMessageCatalogues();
    printer::SetMessageTranslator([](std::string_view text) { return i18n::TranslateResourceString(text); });

    if (request != app::TCommandLineRequest::Run) {
        const QCoreApplication core(argc, argv); // routes the texts through the catalogues
        if (!catalogueReport.Empty())
            std::fprintf(stderr, "quillprint: %s\n",
                         app::CatalogueReportText(catalogueReport).toLocal8Bit().constData());
        const QString answer =
            request == app::TCommandLineRequest::Help ? app::HelpText() : app::VersionText();
        std::fputs(answer.toLocal8Bit().constData(), stdout);
        app::StopMessageCatalogues();
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    app::TApplication application(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("org.quillprint.Quillprint"));
    QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("org.quillprint.Quillprint")));
    app::InstallFontSubstitutes();
    app::ComPortDispatcherQt dispatcher;
    dispatcher.MakeDefault();
    app::InstallPrinterHooks();
    // A close waits for its port's monitor by the pause's rule.
    dispatcher.SetWaiter(app::ProcessMessagesUntil);
    if (!catalogueReport.Empty())
        app::ShowErrorBox(app::CatalogueReportText(catalogueReport));

    int result = 0;
    {
        app::TForm1 form;
        app::TPrintoutKeeper keeper(form);
        keeper.RestoreAfterCrash();
        app::TPrintoutKeeper::EndCleanlyOnSignals();
        form.show();
        if (std::getenv("QUILLPRINT_REPORT_SHOWN"))
            QTimer::singleShot(0, &form, [] { ReportShownAndQuit(); });
        result = application.exec();
    } // the port closes, then the printout file is complete and the run unmarked
    app::StopMessageCatalogues();
    return result;
}
