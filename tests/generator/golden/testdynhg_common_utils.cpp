// Generated from defs/006_testdynhg.tdef by zim_tablegen; do not edit.

// The library holds no layout notes: they belong to the programs and
// libraries that include the type headers, each one's own.
#define ZIM_TABLES_NO_LAYOUT_NOTE
#include "zim/tables/testdynhg.h"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct testdynhg_traits {
  static constexpr uint32_t table_id = 6;
  static constexpr uint32_t fixed_size = 456;
  static constexpr uint32_t npd_present = 448;
  static constexpr uint32_t count_field = 200;
  static constexpr bool size_check = true;
  static constexpr bool sets_obj_flags_bit5 = false;
  using header = zt::item_list<zt::header_field<192, 4>, zt::header_field<196, 4>, zt::header_field<200, 4>>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
      zt::inline_span<204, 14, 344, 5>,  // 204:4x3 216:1x2
      zt::inline_span<220, 36, 349, 5>,  // 220:4 224:8x4
      zt::counted_array<256, 4, 360>,  // 256:4xC
      zt::counted_array<264, 4, 368>,  // 264:4xC
      zt::counted_array<272, 2, 376>,  // 272:2xC
      zt::counted_array<280, 32, 384>,  // 280:32xC
      zt::counted_array<288, 2, 392>,  // 288:2xC
      zt::per_npu_array<296, 2, 400>,  // 296:2xN
      zt::inline_span<304, 8, 408, 1>,  // 304:8
      zt::counted_array<312, 8, 416>,  // 312:8xC
      zt::counted_array<320, 4, 424>,  // 320:4xC
      zt::counted_array<328, 8, 432>,  // 328:8xC
      zt::counted_array<336, 4, 440>>;  // 336:4xC
  static constexpr char unit_path[] = "./platforms/common/zim/tables/src/vesk-autogensrc/testdynhg_common_utils";
  static constexpr zt::check_site fix_ptrs_check{134, "void qor_testdynhg_fix_ptrs(uint32_t, qor_testdynhg_obj_st)"};
  static constexpr zt::check_site size_ptr_check{156, "void qor_testdynhg_add_dynamic_to_obj_size(uint32_t *, uint32_t)"};
  static constexpr zt::check_site alloc_check{452, "srv_testdynhg_t testdynhg_srv_alloc(uint32_t, zim_bool_t)"};
  static constexpr zim_wisp_enums_t wisp{{1079, 1080, 1081, 1079, 1080, 1081}};
};

static_assert(zt::layout_is_consistent<testdynhg_traits>(), "testdynhg: layout constants disagree");

}  // namespace

extern "C" {

void qor_testdynhg_fix_ptrs(uint32_t npd_size, qor_testdynhg_obj_st obj_inst) {
  zt::fix_ptrs<testdynhg_traits>(npd_size, obj_inst);
}

void zim_testdynhg_fix_ptrs_from_base(qor_testdynhg_obj_st obj_inst) {
  qor_testdynhg_fix_ptrs(qor_npd_get_table_size(testdynhg_traits::table_id), obj_inst);
}

void qor_testdynhg_add_dynamic_to_obj_size(uint32_t *obj_size_ptr, uint32_t count) {
  zt::add_dynamic_to_obj_size<testdynhg_traits>(obj_size_ptr, count);
}

uint32_t qor_testdynhg_get_obj_size(uint32_t count) {
  return zt::get_obj_size<testdynhg_traits>(count);
}

zim_wisp_enums_t zim_testdynhg_get_wisp_enums(void) {
  return testdynhg_traits::wisp;
}

// Called, not copied, by the copy routine where the data copy is long.
__attribute__((noinline)) void qor_testdynhg_read_dbobj(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst) {
  zt::read_dbobj<testdynhg_traits>(src, dst);
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) void qor_testdynhg_write_dbobj_base(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst) {
  zt::copy_base<testdynhg_traits>(src, dst);
}

// The same operation under its second name: one body, two symbols.
void qor_testdynhg_read_dbobj_base(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst)
    __attribute__((alias("qor_testdynhg_write_dbobj_base")));

// The copy routine's names for the header and data copies. They are bound
// inside the unit, so a program's own symbol of an exported name cannot
// stand in for them.
static void testdynhg_copy_headers(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst)
    __attribute__((alias("qor_testdynhg_write_dbobj_base")));
static void testdynhg_copy_data(qor_testdynhg_obj_st src, qor_testdynhg_obj_st dst)
    __attribute__((alias("qor_testdynhg_read_dbobj")));

// Written out in each constructor for its own use_shm: no choice at run time
// on the path that makes every server object.
__attribute__((always_inline)) static inline srv_testdynhg_t testdynhg_srv_alloc(uint32_t count, zim_bool_t use_shm) {
  return static_cast<srv_testdynhg_t>(zt::srv_alloc<testdynhg_traits>(count, use_shm));
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) srv_testdynhg_t qor_srv_testdynhg_ctor(uint32_t count) {
  return testdynhg_srv_alloc(count, ZIM_FALSE);
}

__attribute__((noinline)) srv_testdynhg_t zim_srv_testdynhg_ctor_with_shm(uint32_t count) {
  return testdynhg_srv_alloc(count, ZIM_TRUE);
}

// The copy routine allocates with the constructor for its use_shm.
static srv_testdynhg_t testdynhg_copy_alloc(uint32_t count, zim_bool_t use_shm) {
  return use_shm ? zim_srv_testdynhg_ctor_with_shm(count) : qor_srv_testdynhg_ctor(count);
}

// Written out in each copy constructor for its own use_shm, like the
// allocator in the constructors: no choice at run time on the copy's path.
__attribute__((always_inline)) static inline srv_testdynhg_t testdynhg_copy(qor_testdynhg_obj_st src, zim_bool_t use_shm) {
  return zt::copy<testdynhg_traits>(src, use_shm, testdynhg_copy_alloc, testdynhg_copy_headers, testdynhg_copy_data);
}

srv_testdynhg_t zim_testdynhg_copy_ctor(qor_testdynhg_obj_st src) {
  return testdynhg_copy(src, ZIM_FALSE);
}

srv_testdynhg_t zim_testdynhg_copy_ctor_with_shm(qor_testdynhg_obj_st src) {
  return testdynhg_copy(src, ZIM_TRUE);
}

void zim_testdynhg_clnt_copy_dtor(qor_testdynhg_obj_st obj_inst) {
  zt::clnt_copy_dtor(obj_inst);
}

}  // extern "C"
