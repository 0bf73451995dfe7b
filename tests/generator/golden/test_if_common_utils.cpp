// Generated from defs/000_test_if.tdef by zim_tablegen; do not edit.

// The library holds no layout notes: they belong to the programs and
// libraries that include the type headers, each one's own.
#define ZIM_TABLES_NO_LAYOUT_NOTE
#include "zim/tables/test_if.h"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct test_if_traits {
  static constexpr uint32_t table_id = 0;
  static constexpr uint32_t fixed_size = 480;
  static constexpr uint32_t npd_present = 476;
  static constexpr uint32_t count_field = 0;
  static constexpr bool size_check = true;
  static constexpr bool sets_obj_flags_bit5 = false;
  using header = zt::item_list<zt::header_field<192, 4>, zt::header_field<200, 8>, zt::header_field<208, 1>>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
      zt::inline_span<216, 124, 436, 10>,  // 216:32x3 312:4x7
      zt::inline_span<344, 17, 446, 3>,  // 344:8x2 360:1
      zt::inline_span<362, 26, 449, 12>,  // 362:2 364:4 368:8 376:4 380:1x8
      zt::inline_span<392, 8, 461, 1>,  // 392:8
      zt::per_npu_array<400, 8, 464>,  // 400:8xN
      zt::inline_span<408, 4, 472, 1>,  // 408:4
      zt::inline_span<416, 20, 473, 3>>;  // 416:8x2 432:4
  static constexpr char unit_path[] = "./platforms/common/zim/tables/src/vesk-autogensrc/test_if_common_utils";
  static constexpr zt::check_site fix_ptrs_check{52, "void qor_test_if_fix_ptrs(uint32_t, qor_test_if_obj_st)"};
  static constexpr zt::check_site size_ptr_check{73, "void qor_test_if_add_dynamic_to_obj_size(uint32_t *)"};
  static constexpr zt::check_site alloc_check{344, "srv_test_if_t test_if_srv_alloc(uint32_t, zim_bool_t)"};
  static constexpr zim_wisp_enums_t wisp{{947, 948, 949, 950, 951, 952}};
};

static_assert(zt::layout_is_consistent<test_if_traits>(), "test_if: layout constants disagree");

}  // namespace

extern "C" {

void qor_test_if_fix_ptrs(uint32_t npd_size, qor_test_if_obj_st obj_inst) {
  zt::fix_ptrs<test_if_traits>(npd_size, obj_inst);
}

void zim_test_if_fix_ptrs_from_base(qor_test_if_obj_st obj_inst) {
  qor_test_if_fix_ptrs(qor_npd_get_table_size(test_if_traits::table_id), obj_inst);
}

void qor_test_if_add_dynamic_to_obj_size(uint32_t *obj_size_ptr) {
  zt::add_dynamic_to_obj_size<test_if_traits>(obj_size_ptr, 0);
}

uint32_t qor_test_if_get_obj_size(void) {
  return zt::get_obj_size<test_if_traits>(0);
}

zim_wisp_enums_t zim_test_if_get_wisp_enums(void) {
  return test_if_traits::wisp;
}

// Called, not copied, by the copy routine where the data copy is long.
__attribute__((noinline)) void qor_test_if_read_dbobj(qor_test_if_obj_st src, qor_test_if_obj_st dst) {
  zt::read_dbobj<test_if_traits>(src, dst);
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) void qor_test_if_write_dbobj_base(qor_test_if_obj_st src, qor_test_if_obj_st dst) {
  zt::copy_base<test_if_traits>(src, dst);
}

// The same operation under its second name: one body, two symbols.
void qor_test_if_read_dbobj_base(qor_test_if_obj_st src, qor_test_if_obj_st dst)
    __attribute__((alias("qor_test_if_write_dbobj_base")));

// The copy routine's names for the header and data copies. They are bound
// inside the unit, so a program's own symbol of an exported name cannot
// stand in for them.
static void test_if_copy_headers(qor_test_if_obj_st src, qor_test_if_obj_st dst)
    __attribute__((alias("qor_test_if_write_dbobj_base")));
static void test_if_copy_data(qor_test_if_obj_st src, qor_test_if_obj_st dst)
    __attribute__((alias("qor_test_if_read_dbobj")));

// Written out in each constructor for its own use_shm: no choice at run time
// on the path that makes every server object.
__attribute__((always_inline)) static inline srv_test_if_t test_if_srv_alloc(uint32_t count, zim_bool_t use_shm) {
  return static_cast<srv_test_if_t>(zt::srv_alloc<test_if_traits>(count, use_shm));
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) srv_test_if_t qor_srv_test_if_ctor(void) {
  return test_if_srv_alloc(0, ZIM_FALSE);
}

__attribute__((noinline)) srv_test_if_t zim_srv_test_if_ctor_with_shm(void) {
  return test_if_srv_alloc(0, ZIM_TRUE);
}

// The copy routine allocates with the constructor for its use_shm.
static srv_test_if_t test_if_copy_alloc(uint32_t count, zim_bool_t use_shm) {
  (void)count;  // the type takes none
  return use_shm ? zim_srv_test_if_ctor_with_shm() : qor_srv_test_if_ctor();
}

// Written out in each copy constructor for its own use_shm, like the
// allocator in the constructors: no choice at run time on the copy's path.
__attribute__((always_inline)) static inline srv_test_if_t test_if_copy(qor_test_if_obj_st src, zim_bool_t use_shm) {
  return zt::copy<test_if_traits>(src, use_shm, test_if_copy_alloc, test_if_copy_headers, test_if_copy_data);
}

srv_test_if_t zim_test_if_copy_ctor(qor_test_if_obj_st src) {
  return test_if_copy(src, ZIM_FALSE);
}

srv_test_if_t zim_test_if_copy_ctor_with_shm(qor_test_if_obj_st src) {
  return test_if_copy(src, ZIM_TRUE);
}

void zim_test_if_clnt_copy_dtor(qor_test_if_obj_st obj_inst) {
  zt::clnt_copy_dtor(obj_inst);
}

}  // extern "C"
