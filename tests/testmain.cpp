// GoogleTest main with a QCoreApplication, so code that crosses to the main thread can be tested
// (a QApplication for the widget tests).
#ifdef KESTREL_TEST_GUI
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#endif
#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    TTestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
