// SPDX-License-Identifier: Apache-2.0
#include "redis_server.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zim_test {
namespace {

constexpr auto kStartBound = std::chrono::seconds(20);

}  // namespace

RedisServer::RedisServer(RedisServerOptions options) {
  char pattern[] = "/tmp/zim_redis.XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a folder for Redis");
  dir_ = pattern;
  chmod(dir_.c_str(), 0700);
  socket_ = dir_ + "/redis.sock";
  write_config(options);
  start();
}

RedisServer::~RedisServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void RedisServer::write_config(const RedisServerOptions& options) const {
  std::ofstream conf(dir_ + "/redis.conf");
  conf << "port 0\n"
       << "unixsocket " << socket_ << "\n"
       << "unixsocketperm 700\n"
       << "dir " << dir_ << "\n"
       << "save \"\"\n"
       << "appendonly no\n"
       << "daemonize no\n"
       << "logfile " << dir_ << "/redis.log\n"
       << "maxmemory-policy " << options.maxmemory_policy << "\n";
  for (const std::string& user : options.users) conf << "user " << user << "\n";
}

std::string RedisServer::log() const {
  std::ifstream in(dir_ + "/redis.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void RedisServer::start() {
  const std::string conf = dir_ + "/redis.conf";
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that aborts leaves no server behind
    execlp("redis-server", "redis-server", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartBound;
  while (std::chrono::steady_clock::now() < deadline) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    const ReplyPtr pong = command({"PING"});
    if (pong && pong->type == REDIS_REPLY_STATUS && std::string(pong->str) == "PONG") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill();
  throw std::runtime_error("redis-server did not answer PING; its log:\n" + log());
}

void RedisServer::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void RedisServer::restart() {
  kill();
  start();
}

ReplyPtr RedisServer::command(const std::vector<std::string>& words) const {
  const timeval bound{2, 0};
  redisContext* c = redisConnectUnixWithTimeout(socket_.c_str(), bound);
  ReplyPtr reply;
  if (c != nullptr && c->err == 0 && redisSetTimeout(c, bound) == REDIS_OK) {
    std::vector<const char*> argv;
    std::vector<size_t> lengths;
    for (const std::string& w : words) {
      argv.push_back(w.data());
      lengths.push_back(w.size());
    }
    reply.reset(static_cast<redisReply*>(
        redisCommandArgv(c, static_cast<int>(argv.size()), argv.data(), lengths.data())));
  }
  if (c != nullptr) redisFree(c);
  return reply;
}

}  // namespace zim_test
