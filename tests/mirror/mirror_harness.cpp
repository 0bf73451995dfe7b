// SPDX-License-Identifier: Apache-2.0
#include "mirror_harness.hpp"

#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_image.h>
#include <zim/sim/shm_pool.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <thread>

#include "sim_test_util.hpp"

namespace zim_mirror_test {
namespace {

namespace cat = zim_tables::catalogue;

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) text += {kDigits[c >> 4], kDigits[c & 15]};
  return text;
}

// The keys of the mapped pool that lead to objects of `objects`.
void add_keys(PoolView& view) {
  std::vector<zim_shm_pool_index_entry_t> entries(4096);
  const int64_t n = zim_shm_pool_index_list(entries.data(), entries.size());
  for (int64_t i = 0; i < n && i < int64_t(entries.size()); ++i) {
    if (view.objects.count(entries[i].pool_id)) {
      view.keys[{entries[i].table_id, entries[i].key}] = entries[i].pool_id;
    }
  }
}

// In a child that maps the local pool: every live object and key, one line each.
int print_local(const std::string& local, int fd) {
  if (zim_shm_pool_attach(local.c_str()) != 0) return 1;
  PoolView view;
  const auto visit = [](const zim_shm_pool_piece_t* piece, void* context) {
    const cat::TableType* type = cat::by_id(piece->table_id);
    if (piece->retired != 0 || piece->table_id > ZIM_SHM_POOL_MAX_TABLE_ID || type == nullptr)
      return 0;
    const Tracked t{type, const_cast<void*>(piece->data)};
    static_cast<PoolView*>(context)->objects[zim_shm_pool_id_of(piece->data)] = {
        type->table_id, zim_relay_test::expected_image(t)};
    return 0;
  };
  zim_shm_pool_walk_mapped(visit, &view);
  add_keys(view);
  std::ostringstream out;
  for (const auto& [id, o] : view.objects)
    out << "O " << id << " " << o.first << " " << hex(o.second) << "\n";
  for (const auto& [k, id] : view.keys)
    out << "K " << k.first << " " << k.second << " " << id << "\n";
  const std::string text = out.str();
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n <= 0) return 1;
    at += size_t(n);
  }
  return 0;
}

bool local_view(const std::string& local, PoolView& view) {
  int p[2];
  if (pipe(p) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    _exit(print_local(local, p[1]));
  }
  close(p[1]);
  std::istringstream in(zim_sim_test::read_all(p[0]));
  close(p[0]);
  if (zim_sim_test::wait_exit(pid) != 0) return false;
  for (std::string kind; in >> kind;) {
    uint64_t a = 0, b = 0, c = 0;
    std::string image;
    if (kind == "O" && in >> a >> b >> image) view.objects[a] = {uint32_t(b), image};
    if (kind == "K" && in >> a >> b >> c) view.keys[{uint32_t(a), b}] = c;
  }
  return true;
}

PoolView source_view(const std::vector<Tracked>& objects) {
  PoolView view;
  for (const Tracked& t : objects) {
    if (!t.retired) {
      view.objects[zim_shm_pool_id_of(t.obj)] = {t.type->table_id,
                                                 hex(zim_relay_test::expected_image(t))};
    }
  }
  add_keys(view);
  return view;
}

}  // namespace

LocalPool::LocalPool() : name(zim_sim_test::unique_pool_name()) {}
LocalPool::~LocalPool() { zim_shm_pool_destroy_name(name.c_str()); }

void stress(SourcePool& pool, unsigned seed, int steps) {
  std::mt19937 rng(seed);
  const auto types = SourcePool::types();
  for (int step = 0; step < steps; ++step) {
    auto& objects = pool.objects();
    std::vector<size_t> live;
    for (size_t i = 0; i < objects.size(); ++i) {
      if (!objects[i].retired) live.push_back(i);
    }
    const unsigned what = live.empty() ? 0 : rng() % 10;
    if (what < 3) {
      pool.add(types[rng() % types.size()], rng() % 20, rng());
      continue;
    }
    auto& t = objects[live[rng() % live.size()]];
    if (what < 7) {
      pool.change(t, rng());
    } else if (what < 8) {
      ASSERT_EQ(zim_shm_pool_retire_object(t.obj), 0);
      t.retired = true;
    } else if (what < 9) {
      ASSERT_GE(zim_shm_pool_index_put(t.type->table_id, rng() % 16, t.obj, nullptr), 0);
    } else {
      zim_shm_pool_index_remove(t.type->table_id, rng() % 16);
    }
  }
}

std::unique_ptr<RelayProcess> start_mirror(const std::string& pool, const std::string& local,
                                           const std::string& socket,
                                           const std::vector<std::string>& options) {
  std::vector<std::string> arguments{"--pool", pool,     "--local-pool",   local, "--redis",
                                     socket,   "--json", "--retry-cap-ms", "200"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  return std::make_unique<RelayProcess>(ZIM_MIRROR_TOOL, arguments);
}

Recorded recorded(const std::string& local) {
  Recorded r;
  const auto [status, text] = zim_sim_test::command_output(std::string(ZIM_MIRROR_TOOL) +
                                                           " --status --json --pool " + local);
  const auto doc = nlohmann::json::parse(text, nullptr, false);
  if (status != 0 || doc.is_discarded()) return r;
  r.applied = doc["applied"].get<uint64_t>();
  r.loads = doc["loads"].get<uint64_t>();
  for (const auto& o : doc["objects"]) {
    if (!o["retired"].get<bool>()) r.versions[o["pool_id"]] = o["version"].get<uint64_t>();
  }
  return r;
}

std::string difference(const std::vector<Tracked>& objects, const std::string& local) {
  PoolView mirror;
  if (!local_view(local, mirror)) return "the local pool cannot be read";
  const PoolView source = source_view(objects);
  for (const auto& [id, o] : source.objects) {
    const auto it = mirror.objects.find(id);
    if (it == mirror.objects.end()) return "object " + std::to_string(id) + " is missing";
    if (it->second != o) return "object " + std::to_string(id) + " differs";
  }
  if (mirror.objects.size() != source.objects.size()) return "the mirror holds retired objects";
  for (const PoolView* view : std::initializer_list<const PoolView*>{&source, &mirror}) {
    for (const auto& [key, id] : view->keys) {
      const auto& other = view == &source ? mirror.keys : source.keys;
      const auto it = other.find(key);
      if (it == other.end() || it->second != id) {
        return "key " + std::to_string(key.second) + " of table id " + std::to_string(key.first) +
               " leads to object " + std::to_string(id) +
               (view == &source ? " at the source" : " here") +
               (it == other.end() ? ", nowhere in the other" : ", to another in the other");
      }
    }
  }
  Recorded r = recorded(local);
  for (const Tracked& t : objects) {
    const uint64_t id = zim_shm_pool_id_of(t.obj);
    if (!t.retired && r.versions[id] != zim_shm_pool_version_of(t.obj))
      return "object " + std::to_string(id) + " is recorded at another version";
  }
  return "";
}

std::string wait_equal(const std::vector<Tracked>& objects, const std::string& local) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  std::string d;
  while (!(d = difference(objects, local)).empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return d;
}

}  // namespace zim_mirror_test
