// SPDX-License-Identifier: Apache-2.0
// Holding the signals that ask a run to stop while it has files half in place.
#pragma once

#include <signal.h>

namespace tablegen {

// SIGINT, SIGTERM and SIGHUP are held while an object lives: the run checks
// pending() at points where it can still back out, cleans up, and then lets
// the signal end the process as it would have (its exit status names the
// signal) when the object goes. Cleaning up is no work for a signal handler,
// and a held signal cannot fall between two renames that belong together.
// A signal the caller ignores or blocks is left alone.
class HeldSignals {
 public:
  HeldSignals() {
    sigemptyset(&held_);
    if (sigprocmask(SIG_BLOCK, nullptr, &previous_) != 0) return;
    for (int sig : kSignals) {
      struct sigaction action;
      if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler != SIG_IGN &&
          !sigismember(&previous_, sig)) {
        sigaddset(&held_, sig);
      }
    }
    sigprocmask(SIG_BLOCK, &held_, nullptr);
  }
  // A signal that arrived meanwhile is delivered here.
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  bool pending() const {
    sigset_t set;
    if (sigpending(&set) != 0) return false;
    for (int sig : kSignals) {
      if (sigismember(&held_, sig) == 1 && sigismember(&set, sig) == 1) return true;
    }
    return false;
  }

 private:
  static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
  sigset_t held_, previous_;
};

}  // namespace tablegen
