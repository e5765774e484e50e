// SPDX-License-Identifier: GPL-3.0-or-later
// Where simulated bridges live: Unix-domain stream sockets in a private
// directory of the current user, one socket per bridge, named after the
// bridge's description with the suffix ".sock".
#pragma once

#include <string>

namespace VarnelBridges {

// $XDG_RUNTIME_DIR/varnel/bridges, or /tmp/varnel-<uid>/bridges when
// XDG_RUNTIME_DIR is unset or empty.
std::string Directory();

// Creates the directory and its "varnel" parent with mode 0700 where they
// are missing (the base, XDG_RUNTIME_DIR or /tmp, must exist). Succeeds
// only when the directory exists afterwards, is a real directory (not a
// link), belongs to the current user and is not writable by others. On
// failure, error (when given) receives a readable reason.
bool EnsureDirectory(std::string* error = nullptr);

// The file name suffix of a bridge socket.
inline constexpr const char* SocketSuffix = ".sock";

// Longest description a simulated bridge may carry, in bytes.
inline constexpr std::size_t MaxDescriptionLength = 63;

// Full path of the socket for a description.
std::string SocketPath(const std::string& description);

} // namespace VarnelBridges
