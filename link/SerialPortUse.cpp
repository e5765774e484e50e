// SPDX-License-Identifier: GPL-3.0-or-later
#include "SerialPortUse.h"

#include <dirent.h>
#include <unistd.h>

#include <cctype>
#include <memory>
#include <vector>

namespace {

struct TDirCloser
{
    void operator()(DIR* dir) const { closedir(dir); }
};
using TDir = std::unique_ptr<DIR, TDirCloser>;

std::vector<std::string> Entries(const std::string& path)
{
    std::vector<std::string> names;
    TDir dir(opendir(path.c_str()));
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    return names;
}

bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Where the descriptor points, "" when it cannot be read.
std::string LinkTarget(const std::string& path)
{
    char target[512];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

} // namespace

std::string HeldSerialPort(const std::string& sysRoot, const std::string& procRoot,
                           const std::string& locator)
{
    if (locator.empty() || locator.find('/') != std::string::npos)
        return {};
    // The serial driver puts a port device named after its tty under the
    // interface (configuration 1, interface 0).
    std::vector<std::string> ttys;
    for (const std::string& name : Entries(sysRoot + "/bus/usb/devices/" + locator + ":1.0"))
        if (name.rfind("ttyUSB", 0) == 0)
            ttys.push_back("/dev/" + name);
    if (ttys.empty())
        return {};
    for (const std::string& pid : Entries(procRoot)) {
        if (!AllDigits(pid))
            continue;
        const std::string fds = procRoot + "/" + pid + "/fd";
        for (const std::string& fd : Entries(fds)) {
            const std::string target = LinkTarget(fds + "/" + fd);
            for (const std::string& tty : ttys)
                if (target == tty)
                    return tty;
        }
    }
    return {};
}
