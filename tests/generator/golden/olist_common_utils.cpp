// Generated from defs/268_olist.tdef by zim_tablegen; do not edit.

// The library holds no layout notes: they belong to the programs and
// libraries that include the type headers, each one's own.
#define ZIM_TABLES_NO_LAYOUT_NOTE
#include "zim/tables/olist.h"

#include "table_ops.hpp"

namespace {

namespace zt = zim_tables;

struct olist_traits {
  static constexpr uint32_t table_id = 268;
  static constexpr uint32_t fixed_size = 296;
  static constexpr uint32_t npd_present = 290;
  static constexpr uint32_t count_field = 200;
  static constexpr bool size_check = true;
  static constexpr bool sets_obj_flags_bit5 = false;
  using header = zt::item_list<zt::header_field<192, 4>, zt::header_field<196, 4>, zt::header_field<200, 4>>;
  // In field order: inline_span<offset, bytes, first presence flag, flags>,
  // per_npu_array and counted_array<data pointer, element size, flag pointer>.
  using data = zt::item_list<
      zt::inline_span<208, 24, 264, 4>,  // 208:8x2 224:4x2
      zt::counted_array<232, 8, 272>,  // 232:8xC
      zt::counted_array<240, 8, 280>,  // 240:8xC
      zt::inline_span<248, 4, 288, 1>,  // 248:4
      zt::inline_span<256, 8, 289, 1>>;  // 256:8
  static constexpr char unit_path[] = "./platforms/common/zim/tables/src/vesk-autogensrc/olist_common_utils";
  static constexpr zt::check_site fix_ptrs_check{67, "void qor_olist_fix_ptrs(uint32_t, qor_olist_obj_st)"};
  static constexpr zt::check_site size_ptr_check{89, "void qor_olist_add_dynamic_to_obj_size(uint32_t *, uint32_t)"};
  static constexpr zt::check_site alloc_check{256, "srv_olist_t olist_srv_alloc(uint32_t, zim_bool_t)"};
  static constexpr zim_wisp_enums_t wisp{{785, 786, 787, 785, 786, 787}};
};

static_assert(zt::layout_is_consistent<olist_traits>(), "olist: layout constants disagree");

}  // namespace

extern "C" {

void qor_olist_fix_ptrs(uint32_t npd_size, qor_olist_obj_st obj_inst) {
  zt::fix_ptrs<olist_traits>(npd_size, obj_inst);
}

void zim_olist_fix_ptrs_from_base(qor_olist_obj_st obj_inst) {
  qor_olist_fix_ptrs(qor_npd_get_table_size(olist_traits::table_id), obj_inst);
}

void qor_olist_add_dynamic_to_obj_size(uint32_t *obj_size_ptr, uint32_t count) {
  zt::add_dynamic_to_obj_size<olist_traits>(obj_size_ptr, count);
}

uint32_t qor_olist_get_obj_size(uint32_t count) {
  return zt::get_obj_size<olist_traits>(count);
}

zim_wisp_enums_t zim_olist_get_wisp_enums(void) {
  return olist_traits::wisp;
}

// Called, not copied, by the copy routine where the data copy is long.
__attribute__((noinline)) void qor_olist_read_dbobj(qor_olist_obj_st src, qor_olist_obj_st dst) {
  zt::read_dbobj<olist_traits>(src, dst);
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) void qor_olist_write_dbobj_base(qor_olist_obj_st src, qor_olist_obj_st dst) {
  zt::copy_base<olist_traits>(src, dst);
}

// The same operation under its second name: one body, two symbols.
void qor_olist_read_dbobj_base(qor_olist_obj_st src, qor_olist_obj_st dst)
    __attribute__((alias("qor_olist_write_dbobj_base")));

// The copy routine's names for the header and data copies. They are bound
// inside the unit, so a program's own symbol of an exported name cannot
// stand in for them.
static void olist_copy_headers(qor_olist_obj_st src, qor_olist_obj_st dst)
    __attribute__((alias("qor_olist_write_dbobj_base")));
static void olist_copy_data(qor_olist_obj_st src, qor_olist_obj_st dst)
    __attribute__((alias("qor_olist_read_dbobj")));

// Written out in each constructor for its own use_shm: no choice at run time
// on the path that makes every server object.
__attribute__((always_inline)) static inline srv_olist_t olist_srv_alloc(uint32_t count, zim_bool_t use_shm) {
  return static_cast<srv_olist_t>(zt::srv_alloc<olist_traits>(count, use_shm));
}

// Called, not copied, by the copy routine.
__attribute__((noinline)) srv_olist_t qor_srv_olist_ctor(uint32_t count) {
  return olist_srv_alloc(count, ZIM_FALSE);
}

__attribute__((noinline)) srv_olist_t zim_srv_olist_ctor_with_shm(uint32_t count) {
  return olist_srv_alloc(count, ZIM_TRUE);
}

// The copy routine allocates with the constructor for its use_shm.
static srv_olist_t olist_copy_alloc(uint32_t count, zim_bool_t use_shm) {
  return use_shm ? zim_srv_olist_ctor_with_shm(count) : qor_srv_olist_ctor(count);
}

// Written out in each copy constructor for its own use_shm, like the
// allocator in the constructors: no choice at run time on the copy's path.
__attribute__((always_inline)) static inline srv_olist_t olist_copy(qor_olist_obj_st src, zim_bool_t use_shm) {
  return zt::copy<olist_traits>(src, use_shm, olist_copy_alloc, olist_copy_headers, olist_copy_data);
}

srv_olist_t zim_olist_copy_ctor(qor_olist_obj_st src) {
  return olist_copy(src, ZIM_FALSE);
}

srv_olist_t zim_olist_copy_ctor_with_shm(qor_olist_obj_st src) {
  return olist_copy(src, ZIM_TRUE);
}

void zim_olist_clnt_copy_dtor(qor_olist_obj_st obj_inst) {
  zt::clnt_copy_dtor(obj_inst);
}

}  // extern "C"
