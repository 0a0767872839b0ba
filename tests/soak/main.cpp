#include <QApplication>

#include <gtest/gtest.h>

// Long runs of uploads in one process, for the desktop window (offscreen) and the command-line
// tool's host; both need an event loop on the test thread.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
