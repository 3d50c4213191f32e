#include <QCoreApplication>

#include <gtest/gtest.h>

// Tests that use sockets, timers or child processes need an application object and its loop.
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("nembi"));
    QCoreApplication::setApplicationName(QStringLiteral("remote-agent-tests"));
    return RUN_ALL_TESTS();
}
