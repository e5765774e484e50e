// SPDX-License-Identifier: GPL-3.0-or-later
// The drills run with one QApplication on the offscreen platform, in a
// private runtime directory: the simulated bridges they start are seen by
// this process only, and the directory goes when the run ends.
#include <QApplication>
#include <QLocale>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char* argv[])
{
    char pattern[] = "/tmp/varnel-drills-XXXXXX";
    if (!::mkdtemp(pattern)) {
        std::perror("cannot create a runtime directory");
        return 1;
    }
    ::setenv("XDG_RUNTIME_DIR", pattern, 1);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int result = 0;
    {
        QApplication app(argc, argv);
        QLocale::setDefault(QLocale::c());
        ::testing::InitGoogleTest(&argc, argv);
        result = RUN_ALL_TESTS();
    }
    std::error_code ignored;
    std::filesystem::remove_all(pattern, ignored);
    return result;
}
