// The main of every test binary. Window tests (built with FENMO_GUI_TESTS)
// get a QApplication; all others a QCoreApplication, so that they link no
// widgets and need no display.
#ifdef FENMO_GUI_TESTS
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef FENMO_GUI_TESTS
    // Windows under test are never shown on a desktop, and the test list
    // (read before any test's environment applies) needs no display either.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
