// SPDX-License-Identifier: GPL-3.0-or-later
#include "BridgeDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace VarnelBridges {

namespace {

bool MakeOne(const std::string& path, std::string* error)
{
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST)
        return true;
    if (error)
        *error = path + ": " + std::strerror(errno);
    return false;
}

bool CheckPrivate(const std::string& path, std::string* error)
{
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0) {
        if (error)
            *error = path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (error)
            *error = path + ": not a directory";
        return false;
    }
    if (st.st_uid != ::getuid()) {
        if (error)
            *error = path + ": owned by another user";
        return false;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        if (error)
            *error = path + ": writable by other users";
        return false;
    }
    return true;
}

} // namespace

std::string Directory()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime)
        return std::string(runtime) + "/varnel/bridges";
    return "/tmp/varnel-" + std::to_string(::getuid()) + "/bridges";
}

bool EnsureDirectory(std::string* error)
{
    const std::string dir = Directory();
    const std::string parent = dir.substr(0, dir.rfind('/'));
    // Under XDG_RUNTIME_DIR the base exists already; under /tmp the parent
    // is ours and must be private as well, or another user could swap the
    // bridges directory underneath us.
    if (!MakeOne(parent, error) || !CheckPrivate(parent, error))
        return false;
    if (!MakeOne(dir, error))
        return false;
    return CheckPrivate(dir, error);
}

std::string SocketPath(const std::string& description)
{
    return Directory() + "/" + description + SocketSuffix;
}

} // namespace VarnelBridges
