// SPDX-License-Identifier: GPL-3.0-or-later
// Takes the access to one device node of the emulated bus away, as a missing
// udev rule does: the node's mode becomes 0000 and the calling thread gives up
// the capabilities that let root pass file modes by (CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH), so the refusal also holds for a test run as root.
// Both come back when it goes.
#pragma once

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

class TDeniedNode
{
public:
    // `file`: the node's file in the testbed.
    explicit TDeniedNode(std::string file) : FFile(std::move(file))
    {
        struct stat status = {};
        if (stat(FFile.c_str(), &status) == 0 && chmod(FFile.c_str(), 0) == 0)
            FMode = status.st_mode & 07777;
        if (Capabilities(SYS_capget)) {
            FEffective = FData[0].effective;
            FData[0].effective &= ~DacMask;
            FDropped = Capabilities(SYS_capset);
        }
    }
    ~TDeniedNode()
    {
        if (FDropped) {
            FData[0].effective = FEffective;
            Capabilities(SYS_capset);
        }
        if (FMode >= 0)
            chmod(FFile.c_str(), static_cast<mode_t>(FMode));
    }
    TDeniedNode(const TDeniedNode&) = delete;
    TDeniedNode& operator=(const TDeniedNode&) = delete;

    // Whether this thread is refused the node now.
    bool Refused() const
    {
        const int fd = open(FFile.c_str(), O_RDWR | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
        return fd < 0 && errno == EACCES;
    }

private:
    static constexpr __u32 DacMask = 1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH;

    bool Capabilities(long call)
    {
        FHeader = {_LINUX_CAPABILITY_VERSION_3, 0};
        return syscall(call, &FHeader, FData) == 0;
    }

    std::string FFile;
    int FMode = -1;
    __user_cap_header_struct FHeader{};
    __user_cap_data_struct FData[2]{};
    __u32 FEffective = 0;
    bool FDropped = false;
};
