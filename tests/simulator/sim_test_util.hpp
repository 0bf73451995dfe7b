// SPDX-License-Identifier: Apache-2.0
// Helpers for tests that need a pool of their own or another process.
#ifndef ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP
#define ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP

#include <fcntl.h>
#include <gtest/gtest.h>
#include <link.h>
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace zim_sim_test {

// The pool's units, as the tests lay out blocks by them.
constexpr uint64_t kChunk = ZIM_SHM_POOL_CHUNK_SIZE;
constexpr uint64_t kHeader = ZIM_SHM_POOL_BLOCK_HEADER_SIZE;

// A pool name that no other test process uses.
inline std::string unique_pool_name() {
  static std::atomic<int> n{0};
  return "/zim_sim_test." + std::to_string(getpid()) + "." + std::to_string(n++);
}

inline bool shm_exists(const std::string& name) {
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// A shell command's exit status (-1 when it did not exit) and its output,
// standard error included.
inline std::pair<int, std::string> command_output(const std::string& command) {
  FILE* out = popen((command + " 2>&1").c_str(), "r");
  if (out == nullptr) return {-1, ""};
  std::string text;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, out)) != 0;) text.append(chunk, n);
  const int status = pclose(out);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

// A segment holding data that no pool made, for the pool to find.
inline bool put_segment(const std::string& name, const void* data, size_t size) {
  const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  const bool ok = fd >= 0 && write(fd, data, size) == ssize_t(size);
  if (fd >= 0) close(fd);
  return ok;
}

// Zeroed memory shared with forked children, mapped until this process ends.
template <typename T>
T* shared_zeroed() {
  void* p = mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : static_cast<T*>(p);
}

// Forks a child that runs fn (stderr to err_fd, if given) and _exits with its result.
template <typename Fn>
pid_t spawn(Fn fn, int err_fd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (err_fd >= 0) dup2(err_fd, STDERR_FILENO);
    _exit(fn());
  }
  return pid;
}

// The exit status of child pid, or -1 if it did not exit.
inline int wait_exit(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

template <typename Fn>
int run_in_child(Fn fn) {
  return wait_exit(spawn(fn));
}

// Waits for child pid to stop at its kill point, then kills and reaps it:
// whether it stopped, rather than ending first.
inline bool kill_when_stopped(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) return false;
  kill(pid, SIGKILL);
  return waitpid(pid, nullptr, 0) == pid;
}

// What fd's writers write until they close it, 20 s pass idle, or the text holds `until`.
inline std::string read_all(int fd, const char* until = nullptr) {
  std::string text;
  char buf[4096];
  for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 20000) == 1;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, size_t(n));
    if (until != nullptr && text.find(until) != std::string::npos) break;
  }
  return text;
}

// Runs fn in a child: its exit status (as wait_exit) and what it wrote on stderr.
template <typename Fn>
std::pair<int, std::string> run_in_child_stderr(Fn fn) {
  int err[2];
  if (pipe(err) != 0) return {-2, ""};
  const pid_t pid = spawn(fn, err[1]);
  close(err[1]);
  std::string text = read_all(err[0]);
  close(err[0]);
  return {wait_exit(pid), text};
}

template <typename Fn>
void in_threads(int from, int to, const Fn& fn) {
  std::vector<std::thread> threads;
  for (int i = from; i < to; ++i) threads.emplace_back(fn, i);
  for (auto& t : threads) t.join();
}

inline size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Leaves under name a pool with a written block whose creator was killed.
inline bool leave_stale_pool(const std::string& name) {
  run_in_child([&] {
    if (zim_shm_pool_create(name.c_str(), 1u << 20) != 0) return 1;
    std::memset(zim_shm_table_pool_calloc(1, 100), 0xa5, 100);
    return raise(SIGKILL);
  });
  return shm_exists(name);
}

// A block of the table id, or an untyped one for ZIM_SHM_POOL_UNTYPED.
inline void* pool_calloc(uint32_t table_id, uint64_t size) {
  return table_id == ZIM_SHM_POOL_UNTYPED ? zim_shm_pool_calloc_untyped(size)
                                          : zim_shm_table_pool_calloc(table_id, size);
}

// A second process with pipes to its stdin, stdout and stderr.
struct Proc {
  pid_t pid;
  int in, out, err;  // its stdin, stdout and stderr
};

// Runs exe (pool_probe) with command, pool and, if given, arg, in the environment plus env.
inline Proc start(const char* exe, const char* command, const std::string& pool,
                  const std::vector<const char*>& env = {}, const char* arg = nullptr) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {-1, -1, -1, -1};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const char* e : env) putenv(const_cast<char*>(e));
    execl(exe, exe, command, pool.c_str(), arg, nullptr);
    _exit(127);
  }
  for (int fd : {in[0], out[1], err[1]}) close(fd);
  return {pid, in[1], out[0], err[0]};
}

struct Outcome {
  int status;  // exit status, or 128 + signal
  std::string out, err;
};

// Closes its stdin and waits for its end.
inline Outcome finish(const Proc& p) {
  close(p.in);
  Outcome o{-1, read_all(p.out), read_all(p.err)};
  int status = 0;
  waitpid(p.pid, &status, 0);
  o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  for (int fd : {p.out, p.err}) close(fd);
  return o;
}

inline Outcome run(const char* exe, const char* command, const std::string& pool,
                   const std::vector<const char*>& env = {}, const char* arg = nullptr) {
  return finish(start(exe, command, pool, env, arg));
}

// A piece found by a walk; fill is the value of all its bytes, -1 when they differ.
struct Piece {
  uint64_t offset, size;
  uint32_t table_id;
  int fill;
  uint32_t retired = 0;  // as the walk says; not compared
  bool operator==(const Piece& o) const {
    return std::tie(offset, size, table_id, fill) == std::tie(o.offset, o.size, o.table_id, o.fill);
  }
};

// Whether the pieces lie inside [from, to) and share no byte.
inline bool disjoint_within(std::vector<Piece> pieces, uint64_t from, uint64_t to) {
  std::sort(pieces.begin(), pieces.end(), [](Piece a, Piece b) { return a.offset < b.offset; });
  for (const Piece& p : pieces) {
    if (p.offset < from || p.offset > to || p.size > to - p.offset) return false;
    from = p.offset + p.size;
  }
  return true;
}

inline int fill_of(const void* data, uint64_t size) {
  const auto* b = static_cast<const unsigned char*>(data);
  return std::all_of(b, b + size, [b](unsigned char c) { return c == *b; }) ? *b : -1;
}

// The pool's own records (configuration, id pages, layout records), as tests
// that lay out blocks leave them out: records != 0.
constexpr uint64_t kConfigRecord = kHeader + 16;  // of a process without ZIM_NPD_SIZES
inline bool is_record(uint32_t table_id) {
  return table_id >= ZIM_SHM_POOL_MIGRATION && table_id <= ZIM_SHM_POOL_CONFIG;
}

// The pieces of the pool `name` (null: the one mapped here), the pool's own
// records only when asked for; *rc gets the walk's result. A walk of headers
// has each visit read its piece.
inline std::vector<Piece> walk(const char* name, int* rc, bool headers = false,
                               bool records = false) {
  std::vector<Piece> pieces;
  const auto collect = [](const zim_shm_pool_piece_t* p, void* to) {
    std::vector<unsigned char> bytes(p->data == nullptr ? p->size : 0);
    if (p->data == nullptr && zim_shm_pool_piece_read(p, 0, p->size, bytes.data()) != 0) return -1;
    static_cast<std::vector<Piece>*>(to)->push_back(
        {p->offset, p->size, p->table_id, fill_of(p->data ? p->data : bytes.data(), p->size),
         p->retired});
    return 0;
  };
  *rc = name == nullptr ? zim_shm_pool_walk_mapped(collect, &pieces)
        : headers       ? zim_shm_pool_walk_headers(name, collect, &pieces, nullptr)
                        : zim_shm_pool_walk(name, collect, &pieces);
  if (!records) {
    pieces.erase(std::remove_if(pieces.begin(), pieces.end(),
                                [](const Piece& p) { return is_record(p.table_id); }),
                 pieces.end());
  }
  return pieces;
}

// A death-test regex for text: characters that may be special match any.
inline std::string literal(const std::string& text) {
  std::string re;
  for (char c : text) re += std::isalnum(static_cast<unsigned char>(c)) ? c : '.';
  return re;
}

// Bytes a process holds on the heap, and those of the writable segments (data
// and bss) of the loaded library whose path contains `library`: per-id state
// shows in one or the other.
inline uint64_t heap_bytes() { return mallinfo2().uordblks; }
inline uint64_t writable_bytes(const char* library) {
  std::pair<const char*, uint64_t> found{library, 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* f = static_cast<std::pair<const char*, uint64_t>*>(data);
        if (std::strstr(info->dlpi_name, f->first) == nullptr) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_LOAD && (ph.p_flags & PF_W)) f->second += ph.p_memsz;
        }
        return 1;
      },
      &found);
  return found.second;
}

// Gives each test a pool name of its own and checks that no segment is left.
class ShmPoolTest : public ::testing::Test {
 protected:
  void create(uint64_t size) { ASSERT_EQ(zim_shm_pool_create(name_.c_str(), size), 0); }
  void TearDown() override {
    zim_shm_pool_destroy();
    EXPECT_FALSE(shm_exists(name_));
  }
  const std::string name_ = unique_pool_name();
};

}  // namespace zim_sim_test

#endif  // ZIM_SIM_TESTS_SIM_TEST_UTIL_HPP
