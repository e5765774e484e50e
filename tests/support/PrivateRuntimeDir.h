// SPDX-License-Identifier: GPL-3.0-or-later
// A runtime directory of the test's own while it lives: XDG_RUNTIME_DIR
// points into a temporary folder, so the simulated bridges a test starts
// are seen by that test alone; the variable is given back at the end.
#pragma once

#include <QString>
#include <QTemporaryDir>

#include <cstdlib>
#include <optional>
#include <string>

class TPrivateRuntimeDir
{
public:
    TPrivateRuntimeDir()
    {
        if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
            FOld = old;
        if (FDir.isValid())
            setenv("XDG_RUNTIME_DIR", FDir.path().toLocal8Bit().constData(), 1);
    }
    ~TPrivateRuntimeDir()
    {
        if (FOld)
            setenv("XDG_RUNTIME_DIR", FOld->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    TPrivateRuntimeDir(const TPrivateRuntimeDir&) = delete;
    TPrivateRuntimeDir& operator=(const TPrivateRuntimeDir&) = delete;

    bool IsValid() const { return FDir.isValid(); }
    QString Path() const { return FDir.path(); }

private:
    QTemporaryDir FDir;
    std::optional<std::string> FOld;
};
