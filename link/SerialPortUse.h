// SPDX-License-Identifier: GPL-3.0-or-later
// Whether another program has the serial port of a USB bridge open: the
// kernel's serial driver gives the bridge's interface a tty (/dev/ttyUSB*),
// and a program that opened it holds a descriptor of it. Taking the bridge
// over from the kernel would pull that port away from under the program.
#pragma once

#include <string>

// The tty of the bridge's first interface that some process holds open, as
// "/dev/ttyUSB0"; empty when the interface has no tty or nobody holds it.
// `locator` is the bridge's bus and port path ("1-4.2"), its name in sysfs.
// The roots are "/sys" and "/proc" but for tests. Processes whose
// descriptors this user may not read are not seen.
std::string HeldSerialPort(const std::string& sysRoot, const std::string& procRoot,
                           const std::string& locator);
