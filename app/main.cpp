// Quillprint: takes the place of a pigeon clock's paper printer.

#include <memory>

#include "app/application.h"
#include "app/comport_dispatch_qt.h"
#include "app/form1.h"
#include "app/qt_translator.h"

int main(int argc, char** argv)
{
    // Catalogues first: the serial port's message table is built through
    // them before anything can fail.
    const std::vector<std::string> catalogueErrors = app::InitMessageCatalogues();

    app::TApplication application(argc, argv);
    app::InstallFontSubstitutes();
    app::TQtMainThreadDispatcher dispatcher;
    serial::SetDefaultDispatcher(&dispatcher);
    for (const std::string& error : catalogueErrors)
        app::ShowErrorBox(QString::fromStdString(error));

    int result = 0;
    {
        app::TForm1 form;
        form.show();
        result = application.exec();
    } // destroying the window closes an open port
    serial::SetDefaultDispatcher(nullptr);
    app::StopMessageCatalogues();
    return result;
}
