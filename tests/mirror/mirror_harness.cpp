// SPDX-License-Identifier: Apache-2.0
#include "mirror_harness.hpp"

#include <zim/sim/shm_pool.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "sim_test_util.hpp"

namespace zim_mirror_test {
namespace {

PoolView source_view(const std::vector<Tracked>& objects) {
  PoolView view;
  for (const Tracked& t : objects) {
    if (!t.retired) {
      view.objects[zim_shm_pool_id_of(t.obj)] = {t.type->table_id,
                                                 hex(zim_relay_test::expected_image(t))};
    }
  }
  add_mapped_keys(view);
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
  if (!read_pool(local, mirror)) return "the local pool cannot be read";
  if (std::string d = view_difference(source_view(objects), mirror); !d.empty()) return d;
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
