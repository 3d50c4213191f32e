#include <QApplication>

#include <gtest/gtest.h>

// The widget tests need a GUI application object on a real X display (scripts/with-x).
int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("nembi"));
    QApplication::setApplicationName(QStringLiteral("remote-agent-ui-tests"));
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
