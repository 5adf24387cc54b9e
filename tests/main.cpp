#include <gtest/gtest.h>

#if defined(BITLAY_TEST_WIDGETS)
#include <QApplication>
using TestApplication = QApplication;
#elif defined(BITLAY_TEST_GUI)
#include <QGuiApplication>
using TestApplication = QGuiApplication;
#endif

// One main for every test executable. The window tests get a QApplication, the picture tests a
// QGuiApplication (fonts, image plugins); the rest need no Qt application and get none.
int main(int argc, char** argv) {
#if defined(BITLAY_TEST_WIDGETS) || defined(BITLAY_TEST_GUI)
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    TestApplication app(argc, argv);
#else
    ::testing::InitGoogleTest(&argc, argv);
#endif
    return RUN_ALL_TESTS();
}
