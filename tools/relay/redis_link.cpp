// SPDX-License-Identifier: Apache-2.0
// The connection through hiredis: blocking calls with timeouts, replies
// copied into Reply with limits on their depth, count and size.
#include "redis_link.hpp"

#include <hiredis/hiredis.h>
#include <sys/un.h>

#include <algorithm>
#include <charconv>
#include <cstring>

#include "codec/printable.hpp"

namespace zim_relay {
namespace {

using zim_codec::printable;

constexpr timeval kConnectTimeout{2, 0};
constexpr timeval kCommandTimeout{5, 0};
// The read buffer a connection keeps between replies, so that a stream of
// large replies does not allocate it afresh for each.
constexpr size_t kKeptReadBuffer = size_t{1} << 20;
// The same for the commands' output, which a refill's transactions can grow
// well past a change's.
constexpr size_t kKeptOutput = size_t{16} << 20;
// hiredis reads each reply straight into the caller's Reply tree, whose
// buffers are kept from read to read: no reply object of its own is made,
// and each string is copied once. Anything beyond the bounds is not Redis
// answering what the tool asked: the read stops there.
struct ReplySink {
  Reply* root;
  const ReplyBounds& bounds;
  bool beyond = false;
};
thread_local ReplySink* t_sink = nullptr;

void* beyond_bounds() {
  t_sink->beyond = true;
  return nullptr;  // hiredis stops the read with an error
}

// Where the task's value goes: the root, or its place in the parent array,
// which create_array sized.
Reply* place_of(const redisReadTask* task) {
  if (task->parent == nullptr) return t_sink->root;
  auto* parent = static_cast<Reply*>(task->parent->obj);
  const auto index = static_cast<size_t>(task->idx);
  return task->idx >= 0 && index < parent->items.size() ? &parent->items[index] : nullptr;
}

void* create_string(const redisReadTask* task, char* text, size_t size) {
  Reply* to = place_of(task);
  if (to == nullptr || size > t_sink->bounds.text) return beyond_bounds();
  to->kind = task->type == REDIS_REPLY_ERROR    ? Reply::kError
             : task->type == REDIS_REPLY_STATUS ? Reply::kStatus
                                                : Reply::kString;
  to->text.assign(text, size);
  to->items.clear();
  return to;
}

void* create_array(const redisReadTask* task, int elements) {
  int depth = 0;
  for (const redisReadTask* t = task; t->parent != nullptr; t = t->parent) ++depth;
  Reply* to = place_of(task);
  if (to == nullptr || elements < 0 || depth >= t_sink->bounds.depth ||
      static_cast<size_t>(elements) > t_sink->bounds.items) {
    return beyond_bounds();
  }
  to->kind = Reply::kArray;
  to->text.clear();
  to->items.resize(static_cast<size_t>(elements));
  return to;
}

void* create_integer(const redisReadTask* task, long long value) {
  Reply* to = place_of(task);
  if (to == nullptr) return beyond_bounds();
  to->kind = Reply::kInteger;
  to->integer = value;
  to->text.clear(), to->items.clear();
  return to;
}

void* create_nil(const redisReadTask* task) {
  Reply* to = place_of(task);
  if (to == nullptr) return beyond_bounds();
  to->kind = Reply::kNil;
  to->text.clear(), to->items.clear();
  return to;
}

void keep_object(void*) {}  // the caller's tree: nothing to free

redisReplyObjectFunctions kIntoReplies{create_string, create_array, create_integer, create_nil,
                                       keep_object};

// An error reply that retrying later may cure.
bool is_transient(const std::string& error) {
  for (const char* word : {"LOADING", "BUSY", "TRYAGAIN", "MASTERDOWN"}) {
    if (error.rfind(word, 0) == 0) return true;
  }
  return false;
}

}  // namespace

std::optional<RedisAddress> parse_address(const std::string& text, std::string& why) {
  RedisAddress a;
  a.text = text;
  if (text.find('/') != std::string::npos) {
    if (text.size() >= sizeof(sockaddr_un{}.sun_path)) {
      why = "the socket path " + zim_codec::quote(text) + " is too long";
      return std::nullopt;
    }
    a.socket_path = text;
    return a;
  }
  const size_t colon = text.rfind(':');
  const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (colon == 0 || port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) == 0 ||
      std::stoi(port) > 65535) {
    why = "the address " + zim_codec::quote(text) + " is neither a socket path nor host:port";
    return std::nullopt;
  }
  a.host = text.substr(0, colon);
  a.port = std::stoi(port);
  return a;
}

std::optional<std::string> info_field(const std::string& info, const std::string& field) {
  const std::string key = field + ":";
  for (size_t at = 0; at < info.size();) {
    size_t eol = info.find('\n', at);
    if (eol == std::string::npos) eol = info.size();
    if (info.compare(at, key.size(), key) == 0) {
      std::string value = info.substr(at + key.size(), std::min<size_t>(eol - at - key.size(), 64));
      if (!value.empty() && value.back() == '\r') value.pop_back();
      return value;
    }
    at = eol + 1;
  }
  return std::nullopt;
}

void RedisLink::Free::operator()(redisContext* c) const { redisFree(c); }

RedisLink::RedisLink(ReplyBounds bounds) : bounds_(bounds) {}
RedisLink::~RedisLink() = default;

void RedisLink::close() {
  context_.reset();
  // A new connection starts with nothing owed: what was sent on this one is
  // never answered.
  output_.clear();
  pending_.clear();
}

Outcome RedisLink::fail_io(std::string& message) {
  message = "Redis at " + where_ + " is away: " +
            (context_ && context_->errstr[0] != '\0' ? printable(context_->errstr)
                                                     : std::string("no connection"));
  close();
  return Outcome::away;
}

Outcome RedisLink::open(const RedisAddress& address, const Credentials& credentials,
                        std::string& message) {
  close();
  where_ = zim_codec::quote(address.text);
  redisContext* c =
      address.socket_path.empty()
          ? redisConnectWithTimeout(address.host.c_str(), address.port, kConnectTimeout)
          : redisConnectUnixWithTimeout(address.socket_path.c_str(), kConnectTimeout);
  if (c == nullptr) {
    message = "Redis at " + where_ + " is away: out of memory";
    return Outcome::away;
  }
  context_.reset(c);
  ++connection_;
  if (c->err != 0 || redisSetTimeout(c, kCommandTimeout) != REDIS_OK) return fail_io(message);
  c->reader->maxbuf = kKeptReadBuffer;
  c->reader->fn = &kIntoReplies;
  std::vector<Reply> replies;
  if (!credentials.password.empty()) {
    Command auth{"AUTH", credentials.password};
    if (!credentials.user.empty()) auth.insert(auth.begin() + 1, credentials.user);
    const Outcome o = run({auth}, replies, message);
    if (o == Outcome::refused) {
      message = "Redis at " + where_ + " refused the login of user " +
                zim_codec::quote(credentials.user.empty() ? "default" : credentials.user) + ": " +
                last_error_;
    }
    if (o != Outcome::done) return close(), o;
  }
  return check_policy(message);
}

// A Redis that may evict keys would drop objects of the mirror unseen.
Outcome RedisLink::check_policy(std::string& message) {
  std::vector<Reply> replies;
  const Outcome o = run({{"INFO", "memory"}}, replies, message);
  if (o != Outcome::done) {
    if (o == Outcome::refused) message = "cannot read its maxmemory-policy: " + message;
    return close(), o;
  }
  const auto policy = info_field(replies[0].text, "maxmemory_policy");
  if (!policy || *policy != "noeviction") {
    message = "Redis at " + where_ + " has maxmemory-policy " +
              zim_codec::quote(policy.value_or("(not told)")) +
              ": it may evict the pool's keys; it must be noeviction";
    close();
    return Outcome::refused;
  }
  return Outcome::done;
}

Outcome RedisLink::run(const std::vector<Command>& commands, std::vector<Reply>& replies,
                       std::string& message) {
  std::vector<std::string_view> words;
  for (const Command& command : commands) {
    words.assign(command.begin(), command.end());
    append(words.data(), words.size());
  }
  return collect(replies, message);
}

namespace {

// '<mark><number>\r\n', a line of the protocol.
void put_line(std::string& out, char mark, size_t number) {
  char text[24];
  text[0] = mark;
  char* end = std::to_chars(text + 1, text + sizeof text - 2, number).ptr;
  *end++ = '\r';
  *end++ = '\n';
  out.append(text, static_cast<size_t>(end - text));
}

}  // namespace

// The command in the protocol's own form, into the link's output: one copy
// of each word and no allocation once the output has grown, where hiredis
// formats each command into a string of its own and appends that.
void RedisLink::append(const std::string_view* words, size_t count) {
  pending_.emplace_back(count == 0 ? std::string_view{} : words[0].substr(0, 16));
  if (!context_ || append_failed_) return;
  put_line(output_, '*', count);
  for (size_t i = 0; i < count; ++i) {
    put_line(output_, '$', words[i].size());
    output_.append(words[i].data(), words[i].size());
    output_.append("\r\n", 2);
  }
}

// The output into hiredis's own buffer, which its writes send. A failure is
// told by the next collect, as any other.
void RedisLink::hand_over() {
  if (context_ && !append_failed_ && !output_.empty() &&
      redisAppendFormattedCommand(context_.get(), output_.data(), output_.size()) != REDIS_OK) {
    append_failed_ = true;
  }
  output_.clear();
  if (output_.capacity() > kKeptOutput) std::string().swap(output_);
}

void RedisLink::send() {
  hand_over();
  if (!context_ || append_failed_) return;
  for (int written = 0; !written;) {
    if (redisBufferWrite(context_.get(), &written) != REDIS_OK) {
      append_failed_ = true;
      return;
    }
  }
}

Outcome RedisLink::collect(std::vector<Reply>& replies, std::string& message) {
  hand_over();
  const Outcome outcome = read_replies(replies, message);
  pending_.clear();
  append_failed_ = false;
  return outcome;
}

// redisGetReply, but a reply is refused once the bytes of the one item the
// reader waits to complete pass the text bound: hiredis buffers a whole bulk
// string (of whatever length its header claims) before it hands it over.
// The reader stops at the first incomplete item, so every byte past its
// position belongs to that item. The commands were written whole by then.
int RedisLink::get_reply(void** reply, bool& beyond) {
  redisContext* c = context_.get();
  if (redisGetReplyFromReader(c, reply) != REDIS_OK) return REDIS_ERR;
  int written = 0;
  while (*reply == nullptr && !written) {
    if (redisBufferWrite(c, &written) != REDIS_OK) return REDIS_ERR;
  }
  // An item's header and its CRLF beside the text bound.
  const size_t most = bounds_.text + 64;
  while (*reply == nullptr) {
    if (redisBufferRead(c) != REDIS_OK) return REDIS_ERR;
    if (redisGetReplyFromReader(c, reply) != REDIS_OK) return REDIS_ERR;
    if (*reply == nullptr && c->reader->len - c->reader->pos > most) {
      beyond = true;
      return REDIS_ERR;
    }
  }
  return REDIS_OK;
}

Outcome RedisLink::read_replies(std::vector<Reply>& replies, std::string& message) {
  if (append_failed_ || !context_) return fail_io(message);
  replies.resize(pending_.size());
  Outcome outcome = Outcome::done;
  for (size_t i = 0; i < pending_.size(); ++i) {
    ReplySink sink{&replies[i], bounds_};
    t_sink = &sink;
    void* read = nullptr;
    const int got = get_reply(&read, sink.beyond);
    t_sink = nullptr;
    if (sink.beyond) {
      message = "Redis at " + where_ + " sent a reply beyond the relay's bounds";
      close();
      return Outcome::refused;
    }
    if (got != REDIS_OK || read != &replies[i]) return fail_io(message);
    if (replies[i].kind == Reply::kError && outcome == Outcome::done) {
      last_error_ = printable(replies[i].text);
      message =
          "Redis at " + where_ + " refused " + printable(pending_[i], 16) + ": " + last_error_;
      outcome = is_transient(replies[i].text) ? Outcome::away : Outcome::refused;
    }
  }
  return outcome;
}

}  // namespace zim_relay
