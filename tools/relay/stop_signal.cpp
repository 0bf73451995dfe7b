// SPDX-License-Identifier: Apache-2.0
#include "stop_signal.hpp"

#include <time.h>

#include <csignal>

namespace zim_relay {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

void on_stop(int signal) { g_stop_signal = signal; }

}  // namespace

void catch_stop_signals() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A write to a Redis that went away fails with EPIPE, told and retried,
  // instead of ending the process.
  signal(SIGPIPE, SIG_IGN);
}

int stop_signal() { return g_stop_signal; }

void sleep_unless_stopped(unsigned ms) {
  for (unsigned slept = 0; slept < ms && g_stop_signal == 0; slept += 20) {
    const timespec slice{0, 20'000'000};
    nanosleep(&slice, nullptr);
  }
}

}  // namespace zim_relay
