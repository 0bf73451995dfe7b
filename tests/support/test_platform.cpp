// SPDX-License-Identifier: Apache-2.0
#include "test_platform.hpp"

#include <setjmp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#define ZIM_TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace zim_test {
namespace {

PlatformConfig g_config;
std::vector<PlatformCall> g_calls;
std::array<zim_table_props_t, ZIM_NUM_TABLE_TYPES> g_props{};

// The pool: one arena, bump-allocated, never reused.
constexpr size_t kPoolBytes = 64u << 20;
std::unique_ptr<unsigned char[]> g_pool;
size_t g_pool_used = 0;

thread_local sigjmp_buf* g_assert_target = nullptr;
thread_local AssertReport* g_assert_out = nullptr;

void record(PlatformCall call) { g_calls.push_back(call); }

}  // namespace

void reset_platform(uint32_t max_npus, uint32_t npd_size) {
  g_config = PlatformConfig{};
  g_config.max_npus = max_npus;
  g_config.npd_size.fill(npd_size);
  g_calls.clear();
  g_props = {};
  if (!g_pool) g_pool.reset(new unsigned char[kPoolBytes]());  // zero: blocks come zero-filled
  std::memset(g_pool.get(), 0, g_pool_used);
  g_pool_used = 0;
}

PlatformConfig& platform() { return g_config; }
std::vector<PlatformCall>& calls() { return g_calls; }
zim_table_props_t& table_props(uint32_t table_id) { return g_props.at(table_id); }

bool in_pool(const void* p) {
  const auto* b = static_cast<const unsigned char*>(p);
  return g_pool && b >= g_pool.get() && b < g_pool.get() + kPoolBytes;
}

std::optional<AssertReport> run_capturing_assert(void (*fn)(void*), void* arg) {
  sigjmp_buf target;
  AssertReport report;
  sigjmp_buf* saved_target = g_assert_target;
  AssertReport* saved_out = g_assert_out;
  g_assert_target = &target;
  g_assert_out = &report;
  const bool asserted = sigsetjmp(target, 0) != 0;
  if (!asserted) fn(arg);
  g_assert_target = saved_target;
  g_assert_out = saved_out;
  if (asserted) return report;
  return std::nullopt;
}

std::string report_text(const std::optional<AssertReport>& r) {
  if (!r) return "none";
  return r->assertion + " | " + r->file + " | " + std::to_string(r->line) + " | " + r->function;
}

}  // namespace zim_test

using zim_test::PlatformCall;

ZIM_TEST_EXPORT uint32_t hulcon_config_get_max_num_npus(void) {
  zim_test::record({PlatformCall::kMaxNpus});
  return zim_test::g_config.max_npus;
}

ZIM_TEST_EXPORT uint32_t qor_npd_get_table_size(uint32_t table_id) {
  zim_test::record({PlatformCall::kNpdSize, table_id});
  return zim_test::g_config.npd_size.at(table_id);
}

ZIM_TEST_EXPORT uint32_t qor_getuid(void) {
  zim_test::record({PlatformCall::kUid});
  if (zim_test::g_config.on_uid != nullptr) zim_test::g_config.on_uid();
  return zim_test::g_config.next_uid++;
}

ZIM_TEST_EXPORT void* zim_shm_table_pool_calloc(uint32_t table_id, uint64_t size) {
  zim_test::record({PlatformCall::kPoolCalloc, table_id, size});
  using namespace zim_test;
  const size_t rounded = (size + 15) & ~size_t{15};
  if (g_config.pool_fails || rounded > kPoolBytes - g_pool_used) return nullptr;
  void* block = g_pool.get() + g_pool_used;
  g_pool_used += rounded;
  if (g_config.pool_prepare != nullptr) g_config.pool_prepare(block, size);
  return block;
}

ZIM_TEST_EXPORT zim_table_props_t* zim_srv_table_props_get(uint32_t table_id) {
  zim_test::record({PlatformCall::kTableProps, table_id});
  return &zim_test::g_props.at(table_id);
}

ZIM_TEST_EXPORT void __assert_fail(const char* assertion, const char* file, unsigned int line,
                                   const char* function) noexcept {
  if (zim_test::g_assert_target == nullptr) {
    std::fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", file, line, function, assertion);
    std::abort();
  }
  *zim_test::g_assert_out = {assertion, file, line, function};
  siglongjmp(*zim_test::g_assert_target, 1);
}
