// SPDX-License-Identifier: GPL-3.0-or-later
// A main for the model tests that need an event loop (timers, queued calls).
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
