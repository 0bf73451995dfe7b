// SPDX-License-Identifier: Apache-2.0
// SIGINT and SIGTERM end the relay: they interrupt its waits (no SA_RESTART)
// and are looked at between steps. SIGPIPE is ignored.
#pragma once

namespace zim_relay {

void catch_stop_signals();
// The signal that asked the relay to stop, or 0.
int stop_signal();
// Sleeps up to ms milliseconds, less when a stop signal comes.
void sleep_unless_stopped(unsigned ms);

}  // namespace zim_relay
