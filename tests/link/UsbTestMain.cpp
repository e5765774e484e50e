// SPDX-License-Identifier: GPL-3.0-or-later
// The main of the tests on the emulated USB bus. The bus is faked through
// umockdev's preload library, which must be loaded before the program
// starts: ctest runs them through under-umockdev. They run with a runtime
// directory of their own so that no simulated
// bridge of the user's shows up in the lists. Built with
// VARNEL_USB_TEST_WINDOW for the tests that open the console's window.
#include "sim/usb/UsbEmulator.h"

#ifdef VARNEL_USB_TEST_WINDOW
#include <QApplication>
using TTestApplication = QApplication;
#else
#include <QCoreApplication>
using TTestApplication = QCoreApplication;
#endif

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char** argv)
{
    if (!VarnelUsb::TUsbTestbed::InMockEnvironment()) {
        std::fprintf(stderr, "run this under umockdev-wrapper\n");
        return 1;
    }
#ifdef VARNEL_USB_TEST_WINDOW
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
#endif
    char runtime[] = "/tmp/varnel-usbtest-XXXXXX";
    if (!mkdtemp(runtime))
        return 1;
    setenv("XDG_RUNTIME_DIR", runtime, 1);
    TTestApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(runtime);
    return result;
}
