#include <gtest/gtest.h>

#include <QApplication>

int main(int argc, char** argv) {
    // Tests never need a display; fonts, painting and timers work offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // A widget application, so window tests can share the one test main.
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
