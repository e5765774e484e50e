// SPDX-License-Identifier: GPL-3.0-or-later
// The publishers' tests run on a core application: no window, no platform.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
