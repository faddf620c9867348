#pragma once
// One QApplication per test process, made on first use (offscreen platform,
// set by the test environment).

#include <QApplication>

namespace testing_support {

inline QApplication& TestApp()
{
    static int argc = 1;
    static char name[] = "quillprint-test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

} // namespace testing_support
