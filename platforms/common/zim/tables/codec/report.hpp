// SPDX-License-Identifier: Apache-2.0
// How the runtime's readers and rules report a problem: at a line of the
// text they read, in words of their own. The caller decides what a report
// becomes (a compiler-style message, a refusal, the first line of a reason),
// so the codec holds no file name and prints nothing.
#pragma once

#include <functional>
#include <string>

namespace zim_codec {

using Report = std::function<void(int line, const std::string& message)>;

}  // namespace zim_codec
