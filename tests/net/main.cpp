#include <QCoreApplication>

#include <gtest/gtest.h>

// Socket tests need an event loop on the test thread for notifications and posted messages.
int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
