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

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Reports are the rare path: out of line and cold, so the checks cost a
// compare and a branch where they stand.
template <typename T>
[[noreturn]] __attribute__((noinline, cold)) void report(const char* text, const check_site& site) {
  __assert_fail(text, T::unit_path, site.line, site.prototype);
}

// The steps of an operation are inlined by force: an operation over 53
// arrays must still compile to one straight sequence, not to a call per step
// with the cursor in memory.
#define ZIM_TABLES_STEP inline __attribute__((always_inline))

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
  static constexpr bool array = false;
  static constexpr uint32_t data_ptr = 0, elem_size = 0, flag_ptr = 0;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct array_item_traits {
  static constexpr bool array = true;
  static constexpr uint32_t data_ptr = D, elem_size = E, flag_ptr = F;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<per_npu_array<D, E, F>> : array_item_traits<D, E, F> {
  static constexpr bool per_npu = true;
  static constexpr bool counted = false;
};
template <uint32_t D, uint32_t E, uint32_t F>
struct item_traits<counted_array<D, E, F>> : array_item_traits<D, E, F> {
  static constexpr bool per_npu = false;
  static constexpr bool counted = true;
};

template <typename List>
struct list_traits;
template <typename... Items>
struct list_traits<item_list<Items...>> {
  static constexpr bool has_per_npu = (item_traits<Items>::per_npu || ...);
  static constexpr bool has_counted = (item_traits<Items>::counted || ...);
  static constexpr size_t arrays = (size_t{item_traits<Items>::array} + ... + 0);
  // Dynamic bytes per NPU and per counted element: sum of (element size + 1).
  static constexpr uint64_t per_npu_bytes =
      ((item_traits<Items>::per_npu ? uint64_t{item_traits<Items>::elem_size} + 1 : 0) + ... + 0);
  static constexpr uint64_t per_element_bytes =
      ((item_traits<Items>::counted ? uint64_t{item_traits<Items>::elem_size} + 1 : 0) + ... + 0);
  // The data pointer of the array placed first, where a packed dynamic area
  // begins.
  static constexpr uint32_t first_data_ptr = [] {
    uint32_t first = 0;
    ((first = first == 0 && item_traits<Items>::array ? item_traits<Items>::data_ptr : first), ...);
    return first;
  }();
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

// Dynamic bytes of the per-NPU array fields: N is asked once per field, in
// layout order.
template <typename U, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP U per_npu_bytes_of(inline_span<O, B, FO, FN>) {
  return 0;
}
template <typename U, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP U per_npu_bytes_of(per_npu_array<D, E, F>) {
  return U{hulcon_config_get_max_num_npus()} * static_cast<U>(uint64_t{E} + 1);
}
template <typename U, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP U per_npu_bytes_of(counted_array<D, E, F>) {
  return 0;
}

// The dynamic area's size: in 32 bits (U = uint32_t) for the sizing
// operations, which wrap like the object size, in 64 bits for the allocator,
// which must see a size that does not fit.
template <typename U, typename... Items>
ZIM_TABLES_STEP U dynamic_bytes(item_list<Items...>, uint32_t count) {
  U sum = U{count} * static_cast<U>(list_traits<item_list<Items...>>::per_element_bytes);
  ((sum += per_npu_bytes_of<U>(Items{})), ...);
  return sum;
}

template <typename T>
inline void add_dynamic_to_obj_size(uint32_t* obj_size_ptr, uint32_t count) {
  if (obj_size_ptr == nullptr) report<T>(kSizePtrCheckText, T::size_ptr_check);
  *obj_size_ptr += dynamic_bytes<uint32_t>(typename T::data{}, count);
}

template <typename T>
inline uint32_t get_obj_size(uint32_t count) {
  uint32_t size = qor_npd_get_table_size(T::table_id) + T::fixed_size;
  add_dynamic_to_obj_size<T>(&size, count);
  return size;
}

// ---------------------------------------------------------------------------
// Pointer fix-up. The cursor is the 64-bit address of the next free byte of
// the dynamic area; pointer_fixed_size is its distance from the object.

// Filled: the counted arrays have elements (count != 0). The count is tested
// once per fix-up, not once per array.
template <bool Filled, uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void place(inline_span<O, B, FO, FN>, byte*, uintptr_t&, uint32_t) {}

template <bool Filled, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void place(per_npu_array<D, E, F>, byte* obj, uintptr_t& cursor, uint32_t) {
  // N is asked again for the flags: the platform's answer is never cached.
  store<uintptr_t>(obj + D, cursor);
  cursor += uint64_t{hulcon_config_get_max_num_npus()} * E;
  store<uintptr_t>(obj + F, cursor);
  cursor += hulcon_config_get_max_num_npus();
}

template <bool Filled, uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void place(counted_array<D, E, F>, byte* obj, uintptr_t& cursor, uint32_t count) {
  if constexpr (Filled) {
    store<uintptr_t>(obj + D, cursor);
    cursor += uint64_t{count} * E;
    store<uintptr_t>(obj + F, cursor);
    cursor += count;
  } else {
    store<uintptr_t>(obj + D, 0);
    store<uintptr_t>(obj + F, 0);
  }
}

template <bool Filled, typename... Items>
ZIM_TABLES_STEP void place_all(item_list<Items...>, byte* obj, uintptr_t& cursor, uint32_t count) {
  (place<Filled>(Items{}, obj, cursor, count), ...);
}

// The layout without counted elements. A function of its own: inlined, its
// stores to the same pointer fields would be merged with the other path's,
// and every position of that path would be held until the join.
template <typename Data>
__attribute__((noinline)) uintptr_t place_without_elements(byte* obj, uintptr_t cursor) {
  place_all<false>(Data{}, obj, cursor, 0);
  return cursor;
}

template <typename T>
inline void fix_ptrs(uint32_t npd_size, void* object) {
  if constexpr (T::size_check) {
    byte* obj_inst = static_cast<byte*>(object);
    const uintptr_t base = reinterpret_cast<uintptr_t>(obj_inst);
    uintptr_t cursor = base + T::fixed_size + uint64_t{npd_size};
    if constexpr (has_counted_arrays<T>) {
      const uint32_t count = load<uint32_t>(obj_inst + T::count_field);
      if (count != 0) {
        place_all<true>(typename T::data{}, obj_inst, cursor, count);
      } else {
        cursor = place_without_elements<typename T::data>(obj_inst, cursor);
      }
    } else {
      place_all<true>(typename T::data{}, obj_inst, cursor, 0);
    }
    // Checked after every pointer is written, as a 64-bit comparison, so a
    // wrapped 32-bit size fails here.
    const uint64_t pointer_fixed_size = cursor - base;
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
      uint64_t{npd_size} + T::fixed_size + dynamic_bytes<uint64_t>(typename T::data{}, count);
  // A size past 32 bits would wrap into a block smaller than the layout.
  // Stop before anything is allocated or written: types that check their
  // layout report that check, the others cannot be allocated at all.
  const bool fits = list_traits<typename T::data>::arrays != 0
                        ? exact_size <= UINT32_MAX
                        : npd_size <= UINT32_MAX - T::fixed_size;  // one compare
  if (!fits) {
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
ZIM_TABLES_STEP void copy_header_field(header_field<Offset, Width>, const byte* src, byte* dst) {
  std::memcpy(dst + Offset, src + Offset, Width);
}

template <typename... Fields>
ZIM_TABLES_STEP void copy_header_fields(item_list<Fields...>, const byte* src, byte* dst) {
  (copy_header_field(Fields{}, src, dst), ...);
}

template <typename T>
inline void copy_base(const void* source, void* destination) {
  const byte* src = static_cast<const byte*>(source);
  byte* dst = static_cast<byte*>(destination);
  std::memcpy(dst, src, ZIM_OBJ_BASE_HEADER_SIZE);
  copy_header_fields(typename T::header{}, src, dst);
}

// A reader of an object may look at a presence flag or an element flag and
// then at what it marks, so read_dbobj stores a field before its flag and an
// array's elements before its element flags. Stores before the fence are
// not moved past stores after it, by the compiler or by the processor; on
// x86-64 the fence costs no instruction.
ZIM_TABLES_STEP void order_stores() { std::atomic_thread_fence(std::memory_order_release); }

template <size_t Width>
ZIM_TABLES_STEP void move_ordered(byte* to, const byte* from) {
  unsigned char chunk[Width];
  std::memcpy(chunk, from, Width);
  std::memcpy(to, chunk, Width);
  order_stores();
}

template <size_t Width>
ZIM_TABLES_STEP uint64_t move_piece_if(bool wanted, byte* to, const byte* from, uint64_t at) {
  if (!wanted) return at;
  move_ordered<Width>(to + at, from + at);
  return at + Width;
}

// Moves [at, end), fewer than 16 bytes inside one cache line, as two
// overlapping pieces of the widest size that fits, the lower one first.
ZIM_TABLES_STEP void move_short(byte* to, const byte* from, uint64_t at, uint64_t end) {
  const uint64_t n = end - at;
  if (n >= 8) {
    move_ordered<8>(to + at, from + at);
    move_ordered<8>(to + end - 8, from + end - 8);
  } else if (n >= 4) {
    move_ordered<4>(to + at, from + at);
    move_ordered<4>(to + end - 4, from + end - 4);
  } else if (n >= 2) {
    move_ordered<2>(to + at, from + at);
    move_ordered<2>(to + end - 2, from + end - 2);
  } else if (n == 1) {
    move_ordered<1>(to + at, from + at);
  }
}

// Copies a packed dynamic area in ascending address order, where every
// array's element flags follow its element storage: the C library's memcpy
// promises no order (it stores the last bytes of a block first). No store
// straddles a cache line, where it could become visible in two halves: the
// body goes in aligned 16-byte chunks, the ends in pieces inside one line.
// Overlapping pieces store some bytes twice, with the same values.
__attribute__((noinline)) inline void copy_ascending(byte* to, const byte* from, uint64_t bytes) {
  const uintptr_t line_offset = reinterpret_cast<uintptr_t>(to) & 63;
  uint64_t at = 0;
  if (bytes < 16) {
    // Pieces of 1, 2, 4 and 8 bytes, each at its own alignment.
    at = move_piece_if<1>(bytes - at >= 1 && ((line_offset + at) & 1) != 0, to, from, at);
    at = move_piece_if<2>(bytes - at >= 2 && ((line_offset + at) & 2) != 0, to, from, at);
    at = move_piece_if<4>(bytes - at >= 4 && ((line_offset + at) & 4) != 0, to, from, at);
    at = move_piece_if<8>(bytes - at >= 8 && ((line_offset + at) & 8) != 0, to, from, at);
    at = move_piece_if<8>(bytes - at >= 8, to, from, at);
    at = move_piece_if<4>(bytes - at >= 4, to, from, at);
    at = move_piece_if<2>(bytes - at >= 2, to, from, at);
    move_piece_if<1>(bytes - at >= 1, to, from, at);
    return;
  }
  if (line_offset <= 48) {
    move_ordered<16>(to, from);
    at = 16 - (line_offset & 15);
  } else {
    at = 64 - line_offset;
    move_short(to, from, 0, at);
  }
  for (; bytes - at >= 64; at += 64) {
    move_ordered<16>(to + at, from + at);
    move_ordered<16>(to + at + 16, from + at + 16);
    move_ordered<16>(to + at + 32, from + at + 32);
    move_ordered<16>(to + at + 48, from + at + 48);
  }
  for (; bytes - at >= 16; at += 16) move_ordered<16>(to + at, from + at);
  move_short(to, from, at, bytes);
}

// Copies length bytes between two arrays' storage. A null source skips the
// copy; an empty array needs none (its destination pointer may be null).
ZIM_TABLES_STEP void copy_array_bytes(const byte* src_field, const byte* dst_field,
                                      uint64_t length) {
  const byte* from = load_pointer(src_field);
  if (from != nullptr && length != 0) std::memcpy(load_pointer(dst_field), from, length);
}

// Copies a block of known width. Inline, 16 bytes cost two instructions; a
// call of the C library's memcpy costs about 25 and then moves 32 bytes per
// two, so it wins above some 400 bytes, and on blocks at any alignment (a
// 7001-byte block at an odd offset) it also beats the inline string move the
// compiler would emit above 256 bytes.
inline constexpr size_t kInlineMoveLimit = 256;  // the compiler's own limit
inline constexpr size_t kInlineCopyLimit = 384;

template <size_t Bytes>
ZIM_TABLES_STEP void copy_block(byte* to, const byte* from) {
  if constexpr (Bytes > kInlineCopyLimit) {
    size_t bytes = Bytes;
    asm("" : "+r"(bytes));  // the width is known: keep the compiler from inlining the move
    std::memcpy(to, from, bytes);
  } else if constexpr (Bytes > kInlineMoveLimit) {
    std::memcpy(to, from, kInlineMoveLimit);
    std::memcpy(to + kInlineMoveLimit, from + kInlineMoveLimit, Bytes - kInlineMoveLimit);
  } else {
    std::memcpy(to, from, Bytes);
  }
}

template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_inline(inline_span<O, B, FO, FN>, const byte* src, byte* dst) {
  copy_block<B>(dst + O, src + O);
}
template <typename Array>
ZIM_TABLES_STEP void copy_inline(Array, const byte*, byte*) {}

// The presence flags of the inline fields lie back to back in field order,
// interrupted only by the flag pointers of arrays. Each uninterrupted run is
// copied as one block after the fields it belongs to, so every field is
// still stored before its flag.
struct byte_run {
  uint32_t offset = 0;
  uint32_t bytes = 0;
};
template <size_t Items>
struct flag_runs {
  std::array<byte_run, Items> runs{};
  size_t count = 0;
};

template <typename Item>
struct flag_bytes_of {
  static constexpr byte_run run{};
};
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
struct flag_bytes_of<inline_span<O, B, FO, FN>> {
  static constexpr byte_run run{FO, FN};
};

template <typename... Steps>
constexpr auto group_flags(item_list<Steps...>) {
  flag_runs<sizeof...(Steps)> g;
  const byte_run items[] = {flag_bytes_of<Steps>::run..., byte_run{}};
  for (const byte_run& r : items) {
    if (r.bytes == 0) continue;
    if (g.count != 0 && g.runs[g.count - 1].offset + g.runs[g.count - 1].bytes == r.offset) {
      g.runs[g.count - 1].bytes += r.bytes;
    } else {
      g.runs[g.count++] = r;
    }
  }
  return g;
}

template <typename Data>
inline constexpr auto kFlagRuns = group_flags(Data{});

template <typename Data, size_t... R>
ZIM_TABLES_STEP void copy_flags(const byte* src, byte* dst, std::index_sequence<R...>) {
  constexpr auto& g = kFlagRuns<Data>;
  (copy_block<g.runs[R].bytes>(dst + g.runs[R].offset, src + g.runs[R].offset), ...);
}

template <uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(per_npu_array<D, E, F>, const byte* src, byte* dst, uint32_t npus,
                                uint32_t) {
  copy_array_bytes(src + D, dst + D, uint64_t{npus} * E);
  order_stores();
  copy_array_bytes(src + F, dst + F, npus);
}
template <uint32_t D, uint32_t E, uint32_t F>
ZIM_TABLES_STEP void copy_array(counted_array<D, E, F>, const byte* src, byte* dst, uint32_t,
                                uint32_t count) {
  copy_array_bytes(src + D, dst + D, uint64_t{count} * E);
  order_stores();
  copy_array_bytes(src + F, dst + F, count);
}
template <uint32_t O, uint32_t B, uint32_t FO, uint32_t FN>
ZIM_TABLES_STEP void copy_array(inline_span<O, B, FO, FN>, const byte*, byte*, uint32_t, uint32_t) {
}

// Array by array: for a source whose arrays are not where the destination's
// layout puts them (a null pointer, a moved array, another count). Rare, so
// out of line and cold.
template <typename... Steps>
__attribute__((noinline, cold)) void copy_arrays_one_by_one(item_list<Steps...>, const byte* src,
                                                            byte* dst, uint32_t npus,
                                                            uint32_t count) {
  (copy_array(Steps{}, src, dst, npus, count), ...);
}

// The pointer slots of a type's arrays (data and flag pointers), sorted and
// grouped into pairs of neighbouring slots where they stand side by side, so
// that one 16-byte load reads two pointers.
template <size_t Slots>
struct slot_groups {
  std::array<uint32_t, Slots> pairs{};
  std::array<uint32_t, Slots> singles{};
  size_t pair_count = 0;
  size_t single_count = 0;
};

template <typename... Steps>
constexpr auto group_slots(item_list<Steps...>) {
  constexpr size_t slots = 2 * list_traits<item_list<Steps...>>::arrays;
  std::array<uint32_t, slots> at{};
  size_t n = 0;
  ((item_traits<Steps>::array
        ? (at[n++] = item_traits<Steps>::data_ptr, at[n++] = item_traits<Steps>::flag_ptr, 0)
        : 0),
   ...);
  for (size_t i = 1; i < slots; ++i) {
    for (size_t j = i; j > 0 && at[j - 1] > at[j]; --j) {
      const uint32_t t = at[j];
      at[j] = at[j - 1];
      at[j - 1] = t;
    }
  }
  slot_groups<slots> g;
  for (size_t i = 0; i < slots;) {
    if (i + 1 < slots && at[i + 1] == at[i] + 8) {
      g.pairs[g.pair_count++] = at[i];
      i += 2;
    } else {
      g.singles[g.single_count++] = at[i++];
    }
  }
  return g;
}

template <typename Data>
inline constexpr auto kSlotGroups = group_slots(Data{});

// Whether every source pointer lies at the same distance from the
// destination's pointer of the same slot. The destination's pointers are its
// own packed layout for this N and count (the allocator or the fix-up wrote
// them, the operation's precondition), so then the source holds its arrays
// packed in the same order and lengths, and the per-array copies would move
// exactly one block. Differences are OR-ed together and tested once.
template <typename Data, size_t... P, size_t... S>
ZIM_TABLES_STEP bool same_distance(const byte* src, const byte* dst, uintptr_t distance,
                                   std::index_sequence<P...>, std::index_sequence<S...>) {
  constexpr auto& g = kSlotGroups<Data>;
  uintptr_t differs = 0;
#ifdef __SSE2__
  if constexpr (sizeof...(P) != 0) {
    const __m128i want = _mm_set1_epi64x(static_cast<long long>(distance));
    __m128i acc = _mm_setzero_si128();
    const auto pair = [&](uint32_t at) {
      const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + at));
      const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dst + at));
      acc = _mm_or_si128(acc, _mm_xor_si128(_mm_sub_epi64(s, d), want));
    };
    (pair(g.pairs[P]), ...);
    acc = _mm_or_si128(acc, _mm_unpackhi_epi64(acc, acc));
    differs = static_cast<uintptr_t>(_mm_cvtsi128_si64(acc));
  }
#else
  ((differs |= (load<uintptr_t>(src + g.pairs[P]) - load<uintptr_t>(dst + g.pairs[P])) ^ distance,
    differs |=
    (load<uintptr_t>(src + g.pairs[P] + 8) - load<uintptr_t>(dst + g.pairs[P] + 8)) ^ distance),
   ...);
#endif
  ((differs |=
    (load<uintptr_t>(src + g.singles[S]) - load<uintptr_t>(dst + g.singles[S])) ^ distance),
   ...);
  return differs == 0;
}

template <typename Data>
ZIM_TABLES_STEP void copy_arrays(const byte* src, byte* dst, uint32_t npus, uint32_t count) {
  using traits = list_traits<Data>;
  constexpr auto& g = kSlotGroups<Data>;
  // Every array's storage and flags, back to back.
  const uint64_t bytes =
      uint64_t{npus} * traits::per_npu_bytes + uint64_t{count} * traits::per_element_bytes;
  if (bytes == 0) return;
  // Without elements the fix-up leaves the counted arrays' pointers null, so
  // the destination's pointers of a type that has per-NPU arrays too are not
  // one packed layout: that case copies array by array.
  const bool packed_layout = !(traits::has_counted && traits::has_per_npu) || count != 0;
  const uintptr_t from = load<uintptr_t>(src + traits::first_data_ptr);
  const uintptr_t to = load<uintptr_t>(dst + traits::first_data_ptr);
  // Past the test of the first source pointer (neither null nor a block that
  // runs past the end of the address space) and of the distances, every
  // source pointer lies in [from, from + bytes) and none is null.
  if (packed_layout && from - 1 < ~bytes &&
      same_distance<Data>(src, dst, from - to, std::make_index_sequence<g.pair_count>{},
                          std::make_index_sequence<g.single_count>{})) {
    copy_ascending(reinterpret_cast<byte*>(to), reinterpret_cast<const byte*>(from), bytes);
    return;
  }
  copy_arrays_one_by_one(Data{}, src, dst, npus, count);
}

template <typename... Steps>
ZIM_TABLES_STEP void copy_data(item_list<Steps...>, const byte* src, byte* dst, uint32_t npus,
                               uint32_t count) {
  using data = item_list<Steps...>;
  (copy_inline(Steps{}, src, dst), ...);
  order_stores();
  copy_flags<data>(src, dst, std::make_index_sequence<kFlagRuns<data>.count>{});
  if constexpr (list_traits<data>::arrays != 0) copy_arrays<data>(src, dst, npus, count);
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

// The unit's copy routine. It builds on the unit's own allocator, header
// copy and data copy, which the constructors, write_dbobj_base and read_dbobj
// export, so that their code exists once per unit.
template <typename T, typename Obj>
inline Obj copy(Obj source, zim_bool_t use_shm, Obj (*alloc)(uint32_t, zim_bool_t),
                void (*copy_headers)(Obj, Obj), void (*read)(Obj, Obj)) {
  const byte* src = reinterpret_cast<const byte*>(source);
  zim_table_props_t* props = zim_srv_table_props_get(T::table_id);
  uint32_t count = 0;
  if constexpr (T::count_field != 0) count = load<uint32_t>(src + T::count_field);
  Obj copy = alloc(count, use_shm);
  copy_headers(source, copy);
  read(source, copy);
  if (props->copy_hooks_on != 0) {
    props->copy_shm_hook(copy, use_shm);
    props->copy_src_hook(copy, source);
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

#undef ZIM_TABLES_STEP
