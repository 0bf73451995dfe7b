// The operation templates behind every generated unit.
//
// A unit describes its table type as a traits struct of compile-time constants
// (offsets, widths, the lists of header fields and data steps) and
// instantiates these templates with it. Every loop below runs over a template
// parameter pack, so each instantiation compiles to a fixed sequence of loads,
// stores and copies at constant offsets: no descriptor exists at run time.
//
// The traits struct T provides:
//   table_id, fixed_size, npd_present, count_field (0: none), size_check,
//   sets_obj_flags_bit5, header (item_list of header_field), data (item_list
//   of inline_span, per_npu_array and counted_array), unit_path, the check
//   sites fix_ptrs_check (types with the size check), size_ptr_check and
//   alloc_check, and wisp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "zim/tables/platform.h"
#include "zim/tables/table_object.h"

// Declared here as the C library declares it: assert.h hides the declaration
// when NDEBUG is set, and the units report their checks explicitly.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((__noreturn__));

namespace zim_tables {

using byte = unsigned char;

// ---------------------------------------------------------------------------
// Layout vocabulary of a traits struct.

template <uint32_t Offset, uint32_t Width>
struct header_field {};

// Adjacent inline fields: Bytes bytes from Offset, then Flags presence flags
// from FlagOffset.
template <uint32_t Offset, uint32_t Bytes, uint32_t FlagOffset, uint32_t Flags>
struct inline_span {};

// Array fields: data pointer at DataPtr, flag pointer at FlagPtr. A per-NPU
// array has N elements, a counted array as many as the count field says.
template <uint32_t DataPtr, uint32_t ElemSize, uint32_t FlagPtr>
struct per_npu_array {};
template <uint32_t DataPtr, uint32_t ElemSize, uint32_t FlagPtr>
struct counted_array {};

template <typename... Items>
struct item_list {};

// Where a check reports from: its line and the prototype of the operation
// that owns it. Both are fixed by the generator, not by where code lands.
struct check_site {
  unsigned int line;
  const char* prototype;
};

inline constexpr char kFixPtrsCheckText[] = "pointer_fixed_size <= obj_inst->base.total_obj_size";
inline constexpr char kSizePtrCheckText[] = "obj_size_ptr";
inline constexpr char kAllocCheckText[] = "obj_inst";

template <typename T>
[[noreturn]] inline void report(const char* text, const check_site& site) {
  __assert_fail(text, T::unit_path, site.line, site.prototype);
}

// Objects may sit at any address the pool hands out and element storage is
// packed, so every multi-byte access goes through memcpy; compilers turn each
// one into a single move.
template <typename V>
inline V load(const byte* at) {
  V value;
  std::memcpy(&value, at, sizeof value);
  return value;
}
template <typename V>
inline void store(byte* at, V value) {
  std::memcpy(at, &value, sizeof value);
}

inline byte* load_pointer(const byte* at) { return reinterpret_cast<byte*>(load<uintptr_t>(at)); }

// ---------------------------------------------------------------------------
// Facts about a type's array fields, derived at compile time.

template <typename Item>
struct item_traits {
  static constexpr bool per_npu = false;
  static constexpr bool counted = false;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<per_npu_array<D, E, F>> {
  static constexpr bool per_npu = true;
  static constexpr bool counted = false;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<counted_array<D, E, F>> {
  static constexpr bool per_npu = false;
  static constexpr bool counted = true;
};

template <typename List>
struct list_traits;
template <typename... Items>
struct list_traits<item_list<Items...>> {
  static constexpr bool has_per_npu = (item_traits<Items>::per_npu || ...);
  static constexpr bool has_counted = (item_traits<Items>::counted || ...);
  static constexpr int arrays =
      ((item_traits<Items>::per_npu || item_traits<Items>::counted) + ... + 0);
};

template <typename T>
inline constexpr bool has_per_npu_arrays = list_traits<typename T::data>::has_per_npu;
template <typename T>
inline constexpr bool has_counted_arrays = list_traits<typename T::data>::has_counted;

// Compile-time guard that a traits struct describes a well-formed fixed part:
// pointers 8-aligned, every step inside the fixed part and below npd_present,
// and the fixed size the smallest multiple of 8 above npd_present. The sums
// are taken in 64 bits, so constants near 2^32 cannot wrap into a pass.
template <uint32_t NpdPresent, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
constexpr bool step_fits(inline_span<O, B, FO, FN>) {
  return O >= ZIM_OBJ_BASE_HEADER_SIZE && uint64_t{O} + B <= FO && uint64_t{FO} + FN <= NpdPresent;
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool array_fits() {
  return D % 8 == 0 && F % 8 == 0 && uint64_t{D} + 8 <= F && uint64_t{F} + 8 <= NpdPresent &&
         E > 0 && E < UINT32_MAX;
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool step_fits(per_npu_array<D, E, F>) {
  return array_fits<NpdPresent, D, E, F>();
}
template <uint32_t NpdPresent, uint32_t D, uint32_t E, uint32_t F>
constexpr bool step_fits(counted_array<D, E, F>) {
  return array_fits<NpdPresent, D, E, F>();
}
template <uint32_t NpdPresent, typename... Items>
constexpr bool steps_fit(item_list<Items...>) {
  return (step_fits<NpdPresent>(Items{}) && ...);
}
template <typename T>
constexpr bool layout_is_consistent() {
  return T::fixed_size % 8 == 0 &&
         uint64_t{T::fixed_size} == (uint64_t{T::npd_present} + 8) / 8 * 8 &&
         (T::count_field == 0 || (T::count_field >= ZIM_OBJ_BASE_HEADER_SIZE &&
                                  uint64_t{T::count_field} + 4 <= T::fixed_size)) &&
         steps_fit<T::npd_present>(typename T::data{});
}

// ---------------------------------------------------------------------------
// Sizing.

// Dynamic bytes of one array field, in 64 bits so that the allocator can see
// a size that would not fit the 32-bit object size.
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
inline uint64_t dynamic_bytes_of(inline_span<O, B, FO, FN>, uint32_t) {
  return 0;
}
template <uint32_t D, uint32_t E, uint32_t F>
inline uint64_t dynamic_bytes_of(per_npu_array<D, E, F>, uint32_t) {
  return uint64_t{hulcon_config_get_max_num_npus()} * (uint64_t{E} + 1);
}
template <uint32_t D, uint32_t E, uint32_t F>
inline uint64_t dynamic_bytes_of(counted_array<D, E, F>, uint32_t count) {
  return uint64_t{count} * (uint64_t{E} + 1);
}

// Asks for N once per per-NPU array field, in layout order.
template <typename... Items>
inline uint64_t dynamic_bytes(item_list<Items...>, uint32_t count) {
  uint64_t sum = 0;
  ((sum += dynamic_bytes_of(Items{}, count)), ...);
  return sum;
}

template <typename T>
inline void add_dynamic_to_obj_size(uint32_t* obj_size_ptr, uint32_t count) {
  if (obj_size_ptr == nullptr) report<T>(kSizePtrCheckText, T::size_ptr_check);
  // Object sizes are 32-bit quantities: the sum wraps like one.
  *obj_size_ptr += static_cast<uint32_t>(dynamic_bytes(typename T::data{}, count));
}

template <typename T>
inline uint32_t get_obj_size(uint32_t count) {
  uint32_t size = qor_npd_get_table_size(T::table_id) + T::fixed_size;
  add_dynamic_to_obj_size<T>(&size, count);
  return size;
}

// ---------------------------------------------------------------------------
// Pointer fix-up. Positions are 64-bit offsets from the object's start; the
// pointers written are the object's address plus those offsets.

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
inline void place(inline_span<O, B, FO, FN>, byte*, uint64_t&, uint32_t) {}

template <uint32_t D, uint32_t E, uint32_t F>
inline void place(per_npu_array<D, E, F>, byte* obj, uint64_t& cursor, uint32_t) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(obj);
  // N is asked again for the flags: the platform's answer is never cached.
  store<uintptr_t>(obj + D, base + cursor);
  cursor += uint64_t{hulcon_config_get_max_num_npus()} * E;
  store<uintptr_t>(obj + F, base + cursor);
  cursor += hulcon_config_get_max_num_npus();
}

template <uint32_t D, uint32_t E, uint32_t F>
inline void place(counted_array<D, E, F>, byte* obj, uint64_t& cursor, uint32_t count) {
  if (count == 0) {
    store<uintptr_t>(obj + D, 0);
    store<uintptr_t>(obj + F, 0);
    return;
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(obj);
  store<uintptr_t>(obj + D, base + cursor);
  cursor += uint64_t{count} * E;
  store<uintptr_t>(obj + F, base + cursor);
  cursor += count;
}

template <typename... Items>
inline void place_all(item_list<Items...>, byte* obj, uint64_t& cursor, uint32_t count) {
  (place(Items{}, obj, cursor, count), ...);
}

template <typename T>
inline void fix_ptrs(uint32_t npd_size, void* object) {
  if constexpr (T::size_check) {
    byte* obj_inst = static_cast<byte*>(object);
    uint32_t count = 0;
    if constexpr (has_counted_arrays<T>) count = load<uint32_t>(obj_inst + T::count_field);
    uint64_t pointer_fixed_size = uint64_t{T::fixed_size} + npd_size;
    place_all(typename T::data{}, obj_inst, pointer_fixed_size, count);
    // Checked after every pointer is written, as a 64-bit comparison, so a
    // wrapped 32-bit size fails here.
    if (pointer_fixed_size > load<uint32_t>(obj_inst + ZIM_OBJ_TOTAL_SIZE_OFFSET)) {
      report<T>(kFixPtrsCheckText, T::fix_ptrs_check);
    }
  } else {
    (void)npd_size;
    (void)object;
  }
}

template <typename T>
inline void fix_ptrs_from_base(void* object) {
  fix_ptrs<T>(qor_npd_get_table_size(T::table_id), object);
}

// ---------------------------------------------------------------------------
// Server object allocation.

template <typename T>
inline void* srv_alloc(uint32_t count, zim_bool_t use_shm) {
  const uint32_t npd_size = qor_npd_get_table_size(T::table_id);
  const uint64_t exact_size =
      uint64_t{npd_size} + T::fixed_size + dynamic_bytes(typename T::data{}, count);
  // A size past 32 bits would wrap into a block smaller than the layout.
  // Stop before anything is allocated or written: types that check their
  // layout report that check, the others cannot be allocated at all.
  if (exact_size > UINT32_MAX) {
    if constexpr (T::size_check) {
      report<T>(kFixPtrsCheckText, T::fix_ptrs_check);
    } else {
      report<T>(kAllocCheckText, T::alloc_check);
    }
  }
  const uint32_t size = static_cast<uint32_t>(exact_size);

  byte* obj_inst = static_cast<byte*>(use_shm ? zim_shm_table_pool_calloc(T::table_id, size)
                                              : std::calloc(1, size));
  if (obj_inst == nullptr) report<T>(kAllocCheckText, T::alloc_check);

  store<uint16_t>(obj_inst + ZIM_OBJ_TABLE_ID_OFFSET, static_cast<uint16_t>(T::table_id));
  store<uint32_t>(obj_inst + ZIM_OBJ_TOTAL_SIZE_OFFSET, size);
  obj_inst[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  store<uint32_t>(obj_inst + ZIM_OBJ_UID_OFFSET, qor_getuid());
  if constexpr (T::sets_obj_flags_bit5) {
    obj_inst[ZIM_OBJ_FLAGS_OFFSET] |= ZIM_OBJ_FLAGS_BIT5;
  } else {
    obj_inst[ZIM_OBJ_FLAGS_OFFSET] &= static_cast<byte>(~ZIM_OBJ_FLAGS_BIT5);
  }
  obj_inst[T::npd_present] = npd_size != 0 ? 1 : 0;
  if constexpr (T::count_field != 0) store<uint32_t>(obj_inst + T::count_field, count);
  if constexpr (T::size_check) fix_ptrs<T>(npd_size, obj_inst);
  return obj_inst;
}

// ---------------------------------------------------------------------------
// Copies. The source comes first, the destination second.

template <uint32_t Offset, uint32_t Width>
inline void copy_header_field(header_field<Offset, Width>, const byte* src, byte* dst) {
  std::memcpy(dst + Offset, src + Offset, Width);
}

template <typename... Fields>
inline void copy_header_fields(item_list<Fields...>, const byte* src, byte* dst) {
  (copy_header_field(Fields{}, src, dst), ...);
}

template <typename T>
inline void copy_base(const void* source, void* destination) {
  const byte* src = static_cast<const byte*>(source);
  byte* dst = static_cast<byte*>(destination);
  std::memcpy(dst, src, ZIM_OBJ_BASE_HEADER_SIZE);
  copy_header_fields(typename T::header{}, src, dst);
}

// Copies length bytes between two arrays' storage. A null source skips the
// copy; an empty array needs none (its destination pointer may be null).
inline void copy_array_bytes(const byte* src_field, const byte* dst_field, uint64_t length) {
  const byte* from = load_pointer(src_field);
  if (from != nullptr && length != 0) std::memcpy(load_pointer(dst_field), from, length);
}

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
inline void copy_inline(inline_span<O, B, FO, FN>, const byte* src, byte* dst) {
  std::memcpy(dst + O, src + O, B);
  std::memcpy(dst + FO, src + FO, FN);
}
template <typename Array>
inline void copy_inline(Array, const byte*, byte*) {}

template <uint32_t D, uint32_t E, uint32_t F>
inline void copy_array(per_npu_array<D, E, F>, const byte* src, byte* dst, uint32_t npus,
                       uint32_t) {
  copy_array_bytes(src + D, dst + D, uint64_t{npus} * E);
  copy_array_bytes(src + F, dst + F, npus);
}
template <uint32_t D, uint32_t E, uint32_t F>
inline void copy_array(counted_array<D, E, F>, const byte* src, byte* dst, uint32_t,
                       uint32_t count) {
  copy_array_bytes(src + D, dst + D, uint64_t{count} * E);
  copy_array_bytes(src + F, dst + F, count);
}
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
inline void copy_array(inline_span<O, B, FO, FN>, const byte*, byte*, uint32_t, uint32_t) {}

// Whether both objects hold every array packed back to back, storage then
// flags, for the lengths of this copy, as the allocator and the fix-up lay
// them out. Then the per-array copies would write exactly one contiguous
// block, and one copy of that block replaces two per array.
struct packed_arrays {
  bool packed = true;
  bool started = false;
  uintptr_t src_first = 0, dst_first = 0;
  uintptr_t src_next = 0, dst_next = 0;
  uint64_t bytes = 0;

  // Inlined by force: one call per array would cost more than it saves.
  __attribute__((always_inline)) void follow(const byte* src, const byte* dst, uint32_t data_at,
                                             uint32_t flags_at, uint64_t storage, uint64_t flags) {
    const uintptr_t s = load<uintptr_t>(src + data_at);
    const uintptr_t d = load<uintptr_t>(dst + data_at);
    if (!started) {
      started = true;
      src_first = src_next = s;
      dst_first = dst_next = d;
    }
    packed = packed && s != 0 && d != 0 && s == src_next && d == dst_next &&
             load<uintptr_t>(src + flags_at) == s + storage &&
             load<uintptr_t>(dst + flags_at) == d + storage;
    src_next = s + storage + flags;
    dst_next = d + storage + flags;
    bytes += storage + flags;
  }
};

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
inline void follow(inline_span<O, B, FO, FN>, const byte*, const byte*, uint32_t, uint32_t,
                   packed_arrays&) {}
template <uint32_t D, uint32_t E, uint32_t F>
inline void follow(per_npu_array<D, E, F>, const byte* src, const byte* dst, uint32_t npus,
                   uint32_t, packed_arrays& arrays) {
  arrays.follow(src, dst, D, F, uint64_t{npus} * E, npus);
}
template <uint32_t D, uint32_t E, uint32_t F>
inline void follow(counted_array<D, E, F>, const byte* src, const byte* dst, uint32_t,
                   uint32_t count, packed_arrays& arrays) {
  arrays.follow(src, dst, D, F, uint64_t{count} * E, count);
}

template <typename... Steps>
inline void copy_data(item_list<Steps...>, const byte* src, byte* dst, uint32_t npus,
                      uint32_t count) {
  (copy_inline(Steps{}, src, dst), ...);
  // Below three arrays the check costs as much as the calls it saves.
  if constexpr (list_traits<item_list<Steps...>>::arrays >= 3) {
    packed_arrays arrays;
    (follow(Steps{}, src, dst, npus, count, arrays), ...);
    if (arrays.packed) {
      std::memcpy(reinterpret_cast<byte*>(arrays.dst_first),
                  reinterpret_cast<const byte*>(arrays.src_first), arrays.bytes);
      return;
    }
  }
  // A null, moved or differently sized source array: each copy on its own.
  (copy_array(Steps{}, src, dst, npus, count), ...);
}

template <typename T>
inline void read_dbobj(const void* source, void* destination) {
  const byte* src = static_cast<const byte*>(source);
  byte* dst = static_cast<byte*>(destination);
  // The destination was laid out for its own count: that count governs.
  uint32_t count = 0;
  if constexpr (has_counted_arrays<T>) count = load<uint32_t>(dst + T::count_field);
  uint32_t npus = 0;
  if constexpr (has_per_npu_arrays<T>) npus = hulcon_config_get_max_num_npus();
  copy_data(typename T::data{}, src, dst, npus, count);
}

// ---------------------------------------------------------------------------
// Client copies and release.

template <typename T>
inline void* copy(const void* source, zim_bool_t use_shm) {
  const byte* src = static_cast<const byte*>(source);
  zim_table_props_t* props = zim_srv_table_props_get(T::table_id);
  uint32_t count = 0;
  if constexpr (T::count_field != 0) count = load<uint32_t>(src + T::count_field);
  void* copy = srv_alloc<T>(count, use_shm);
  copy_base<T>(src, copy);
  read_dbobj<T>(src, copy);
  if (props->copy_hooks_on != 0) {
    props->copy_shm_hook(copy, use_shm);
    props->copy_src_hook(copy, const_cast<byte*>(src));
  }
  return copy;
}

inline void clnt_copy_dtor(void* object) {
  if (object == nullptr) return;
  // Volatile: a plain store to a block that is about to be freed is dead to
  // the optimiser, and the stamp must really be in memory when free runs.
  volatile uint64_t* stamp = reinterpret_cast<volatile uint64_t*>(static_cast<byte*>(object) +
                                                                  ZIM_OBJ_RELEASE_STAMP_OFFSET);
  *stamp = ZIM_OBJ_RELEASE_STAMP;
  std::free(object);
}

}  // namespace zim_tables
