// Generated from defs/003_testglobaldiscard.tdef by zim_tablegen; do not edit.

// The library holds no layout notes: they belong to the programs and
// libraries that include the type headers, each one's own.
#define ZIM_TABLES_NO_LAYOUT_NOTE
#include "zim/tables/testglobaldiscard.h"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct testglobaldiscard_traits {
  static constexpr uint32_t table_id = 3;
  static constexpr uint32_t fixed_size = 224;
  static constexpr uint32_t npd_present = 219;
  static constexpr uint32_t count_field = 0;
  static constexpr bool size_check = false;
  static constexpr bool sets_obj_flags_bit5 = false;
  using header = zt::item_list<zt::header_field<192, 4>, zt::header_field<196, 4>>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
      zt::inline_span<200, 5, 216, 2>,  // 200:4 204:1
      zt::inline_span<208, 8, 218, 1>>;  // 208:8
  static constexpr char unit_path[] = "./platforms/common/zim/tables/src/vesk-autogensrc/testglobaldiscard_common_utils";
  static constexpr zt::check_site size_ptr_check{65, "void qor_testglobaldiscard_add_dynamic_to_obj_size(uint32_t *)"};
  static constexpr zt::check_site alloc_check{186, "srv_testglobaldiscard_t testglobaldiscard_srv_alloc(uint32_t, zim_bool_t)"};
  static constexpr zim_wisp_enums_t wisp{{1118, 1119, 1120, 1118, 1119, 1120}};
};

static_assert(zt::layout_is_consistent<testglobaldiscard_traits>(), "testglobaldiscard: layout constants disagree");

}  // namespace

extern "C" {

void qor_testglobaldiscard_fix_ptrs(uint32_t npd_size, qor_testglobaldiscard_obj_st obj_inst) {
  zt::fix_ptrs<testglobaldiscard_traits>(npd_size, obj_inst);
}

void zim_testglobaldiscard_fix_ptrs_from_base(qor_testglobaldiscard_obj_st obj_inst) {
  qor_testglobaldiscard_fix_ptrs(qor_npd_get_table_size(testglobaldiscard_traits::table_id), obj_inst);
}

void qor_testglobaldiscard_add_dynamic_to_obj_size(uint32_t *obj_size_ptr) {
  zt::add_dynamic_to_obj_size<testglobaldiscard_traits>(obj_size_ptr, 0);
}

uint32_t qor_testglobaldiscard_get_obj_size(void) {
  return zt::get_obj_size<testglobaldiscard_traits>(0);
}

zim_wisp_enums_t zim_testglobaldiscard_get_wisp_enums(void) {
  return testglobaldiscard_traits::wisp;
}

// Called, not copied, by the copy routine where the data copy is long.
__attribute__((noinline)) void qor_testglobaldiscard_read_dbobj(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst) {
  zt::read_dbobj<testglobaldiscard_traits>(src, dst);
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) void qor_testglobaldiscard_write_dbobj_base(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst) {
  zt::copy_base<testglobaldiscard_traits>(src, dst);
}

// The same operation under its second name: one body, two symbols.
void qor_testglobaldiscard_read_dbobj_base(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst)
    __attribute__((alias("qor_testglobaldiscard_write_dbobj_base")));

// The copy routine's names for the header and data copies. They are bound
// inside the unit, so a program's own symbol of an exported name cannot
// stand in for them.
static void testglobaldiscard_copy_headers(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst)
    __attribute__((alias("qor_testglobaldiscard_write_dbobj_base")));
static void testglobaldiscard_copy_data(qor_testglobaldiscard_obj_st src, qor_testglobaldiscard_obj_st dst)
    __attribute__((alias("qor_testglobaldiscard_read_dbobj")));

// Written out in each constructor for its own use_shm: no choice at run time
// on the path that makes every server object.
__attribute__((always_inline)) static inline srv_testglobaldiscard_t testglobaldiscard_srv_alloc(uint32_t count, zim_bool_t use_shm) {
  return static_cast<srv_testglobaldiscard_t>(zt::srv_alloc<testglobaldiscard_traits>(count, use_shm));
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) srv_testglobaldiscard_t qor_srv_testglobaldiscard_ctor(void) {
  return testglobaldiscard_srv_alloc(0, ZIM_FALSE);
}

__attribute__((noinline)) srv_testglobaldiscard_t zim_srv_testglobaldiscard_ctor_with_shm(void) {
  return testglobaldiscard_srv_alloc(0, ZIM_TRUE);
}

// The copy routine allocates with the constructor for its use_shm.
static srv_testglobaldiscard_t testglobaldiscard_copy_alloc(uint32_t count, zim_bool_t use_shm) {
  (void)count;  // the type takes none
  return use_shm ? zim_srv_testglobaldiscard_ctor_with_shm() : qor_srv_testglobaldiscard_ctor();
}

// Written out in each copy constructor for its own use_shm, like the
// allocator in the constructors: no choice at run time on the copy's path.
__attribute__((always_inline)) static inline srv_testglobaldiscard_t testglobaldiscard_copy(qor_testglobaldiscard_obj_st src, zim_bool_t use_shm) {
  return zt::copy<testglobaldiscard_traits>(src, use_shm, testglobaldiscard_copy_alloc, testglobaldiscard_copy_headers, testglobaldiscard_copy_data);
}

srv_testglobaldiscard_t zim_testglobaldiscard_copy_ctor(qor_testglobaldiscard_obj_st src) {
  return testglobaldiscard_copy(src, ZIM_FALSE);
}

srv_testglobaldiscard_t zim_testglobaldiscard_copy_ctor_with_shm(qor_testglobaldiscard_obj_st src) {
  return testglobaldiscard_copy(src, ZIM_TRUE);
}

void zim_testglobaldiscard_clnt_copy_dtor(qor_testglobaldiscard_obj_st obj_inst) {
  zt::clnt_copy_dtor(obj_inst);
}

}  // extern "C"
