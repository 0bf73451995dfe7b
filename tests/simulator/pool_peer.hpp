// SPDX-License-Identifier: Apache-2.0
// Another process of a pool, driven a step at a time by the test.
#ifndef ZIM_SIM_TESTS_POOL_PEER_HPP
#define ZIM_SIM_TESTS_POOL_PEER_HPP

#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <cerrno>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "sim_test_util.hpp"

namespace zim_sim_test {

// 0 for a call that succeeded, else its errno.
inline int outcome(bool ok) { return ok ? 0 : errno; }

// Another process that maps the pool by name (as `attach` maps it) and runs
// the steps it is sent, one at a time, answering each with its outcome.
class Peer {
 public:
  Peer(const std::string& name, std::vector<std::function<int()>> steps,
       int (*attach)(const char*) = zim_shm_pool_attach) {
    int to[2], from[2];
    if (pipe(to) != 0 || pipe(from) != 0) return;
    pid_ = spawn([&] {
      close(to[1]);
      close(from[0]);
      zim_shm_pool_detach();
      if (attach(name.c_str()) != 0) return 1;
      for (unsigned char step; read(to[0], &step, 1) == 1;) {
        const int answer = step < steps.size() ? steps[step]() : -1;
        if (write(from[1], &answer, sizeof answer) != sizeof answer) return 2;
      }
      return 0;
    });
    close(to[0]);
    close(from[1]);
    to_ = to[1];
    from_ = from[0];
  }
  ~Peer() { end(); }

  int run(unsigned char step) {
    int answer = -2;
    if (write(to_, &step, 1) != 1 || read(from_, &answer, sizeof answer) != sizeof answer) {
      return -2;
    }
    return answer;
  }
  void kill_it() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    end();
  }
  pid_t pid() const { return pid_; }

 private:
  void end() {
    for (int* fd : {&to_, &from_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int to_ = -1, from_ = -1;
};

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_POOL_PEER_HPP
