// SPDX-License-Identifier: Apache-2.0
// A Redis password read from a file: a password never travels on the command
// line, where any user's ps shows it.
#pragma once

#include <string>

namespace zim_relay {

// The file's first line (a trailing CR dropped), at most 4096 bytes; false
// with the reason, the path escaped.
bool read_password(const std::string& path, std::string& password, std::string& why);

}  // namespace zim_relay
