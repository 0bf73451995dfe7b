// SPDX-License-Identifier: Apache-2.0
#include "tool_loop.hpp"

#include <algorithm>

#include "stop_signal.hpp"

namespace zim_relay {

Step connect_with_backoff(RedisLink& link, const RedisOptions& options, Status& status) {
  uint64_t wait_ms = 100;
  for (;;) {
    if (stop_signal() != 0) return {Step::end, kEnded, "stopped while Redis was away"};
    std::string message;
    const Outcome o = link.open(options.address, options.credentials, message);
    if (o == Outcome::done) return {};
    if (o == Outcome::refused) return {Step::end, kRefused, message};
    status.line("away", {{"message", message}, {"retry_ms", wait_ms}});
    sleep_unless_stopped(static_cast<unsigned>(wait_ms));
    wait_ms = std::min(wait_ms * 2, options.retry_cap_ms);
  }
}

}  // namespace zim_relay
