// SPDX-License-Identifier: Apache-2.0
// The typed accessors of a type's header: static inline functions over the
// layout constants, so the library exports nothing new for them. Each is one
// or two lines over the helpers of zim/tables/accessors.h, after its checks;
// the type's snapshot comes first.
#include "gen/emit/emit_accessors.hpp"

#include <algorithm>
#include <string>

#include "gen/emit/template.hpp"
#include "gen/names/accessor_names.hpp"
#include "gen/names/constant_names.hpp"

namespace tablegen {
namespace {

constexpr const char* kIntro = R"tpl(
/* One try of $(snapshot)_with_version at a version of an object of the
 * mapped versioned pool: 1 when the snapshot is done (*copy the copy, or null
 * with errno set), 0 when a write overlapped the try. */
ZIM_TABLES_INLINE int $(snapshot)_try(qor_$(t)_obj_st obj, uint64_t *version, uint32_t npd_size,
                                     zim_tables_whole_t at, qor_$(t)_obj_st *copy) {
  const uint64_t header_bytes =
      ($(COUNT_OFFSET) > ZIM_OBJ_TOTAL_SIZE_OFFSET ? $(COUNT_OFFSET) : ZIM_OBJ_TOTAL_SIZE_OFFSET) + 4u;
  *copy = NULL;
  if (!ZIM_TABLES_WHOLE_FOUND(at, header_bytes, "$(snapshot)_with_version")) return 1;
  const uint32_t count = $(count_read);
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = $(OBJECT_SIZE)($(npus), npd_size, count);
  const zim_tables_try_t sizes =
      ZIM_TABLES_WHOLE_SIZES(obj, at, size, layout_size, header_bytes, "$(snapshot)_with_version");
  if (sizes != ZIM_TABLES_TRY_COPY) return sizes == ZIM_TABLES_TRY_DONE;
  uint8_t *bytes;
  if (!zim_tables_whole_copy(&bytes, obj, at, size, $(COUNT_OFFSET), count, version)) return 0;
  *copy = (qor_$(t)_obj_st)bytes;
$(fix_whole)  return 1;
}

/* $(snapshot)_with_version's tries after the first, until one is whole. */
ZIM_TABLES_RETRIES qor_$(t)_obj_st $(snapshot)_again(qor_$(t)_obj_st obj, uint64_t *version, uint32_t npd_size) {
  qor_$(t)_obj_st copy;
  uint32_t tries = 2;
  while (!$(snapshot)_try(obj, version, npd_size, zim_tables_whole_again(obj, tries), &copy)) ++tries;
  return copy;
}

/* $(snapshot)_with_version of an object of the mapped versioned pool. */
ZIM_TABLES_OUT_OF_LINE qor_$(t)_obj_st $(snapshot)_whole(qor_$(t)_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, $(TABLE_ID), "$(snapshot)_with_version");
  const uint32_t npd_size = qor_npd_get_table_size($(TABLE_ID));
  qor_$(t)_obj_st copy;
  if ($(snapshot)_try(obj, version, npd_size, zim_tables_whole_first(obj), &copy)) return copy;
  return $(snapshot)_again(obj, version, npd_size);
}

/* $(snapshot)_with_version of any other object: copied once, as it stands. */
ZIM_TABLES_OUT_OF_LINE qor_$(t)_obj_st $(snapshot)_as_is(qor_$(t)_obj_st obj, uint64_t *version) {
  ZIM_TABLES_CHECK_SNAPSHOT_OBJECT(obj, $(TABLE_ID), "$(snapshot)_with_version");
  const uint32_t npd_size = qor_npd_get_table_size($(TABLE_ID));
  if (version != NULL) *version = 0;
  const uint32_t count = $(count_read);
  const uint32_t size = zim_tables_load_once_u32(zim_tables_at(obj, ZIM_OBJ_TOTAL_SIZE_OFFSET));
  const uint64_t layout_size = $(OBJECT_SIZE)($(npus), npd_size, count);
  ZIM_TABLES_CHECK_SNAPSHOT_SIZE(size, layout_size, "$(snapshot)_with_version");
  qor_$(t)_obj_st copy = (qor_$(t)_obj_st)zim_tables_snapshot_bytes(obj, size, $(COUNT_OFFSET), count);
$(fix_heap)  return copy;
}

/* A snapshot of obj: its total_obj_size bytes in a new heap block with the
 * pointers fixed for the block, for reading an object without writing a byte
 * of it (a pool object that another process owns, mapped here at another
 * address). Null when malloc fails (ENOMEM); release it with
 * zim_$(t)_clnt_copy_dtor. Snapshots print nothing.
 *
 * An object of the mapped versioned pool is copied whole, at an even version,
 * while its writer goes on: a try that a write overlapped is made again. Null
 * with errno EBUSY when a live writer's write, or the writes that keep coming,
 * outlast ZIM_SHM_POOL_WRITE_BOUND_US; EOWNERDEAD when its writer died inside
 * a write and left it torn; EINVAL when obj lies in the pool but is not a live
 * object there. No read passes the object's block in the pool. Any other
 * object (heap, a pool without versions) is copied as it stands: keep its
 * writers away meanwhile.
 *
 * The count and total_obj_size are read once per try: unless the size is
 * what the count, N and the NPD size give, and fits the object's block, the
 * process ends with a report naming the snapshot before anything is copied;
 * in a versioned pool only when the try was whole (a write's half-made
 * change is retried, never reported). *version, when not null, gets the
 * even version copied, or 0 for an object without one. */
static inline qor_$(t)_obj_st $(snapshot)_with_version(qor_$(t)_obj_st obj, uint64_t *version) {
  if (zim_tables_in_versioned_pool(obj)) return $(snapshot)_whole(obj, version);
  return $(snapshot)_as_is(obj, version);
}

/* $(snapshot)_with_version without the version. */
static inline qor_$(t)_obj_st $(snapshot)(qor_$(t)_obj_st obj) {
  return $(snapshot)_with_version(obj, NULL);
}

/* Accessors of every data field: zim_$(t)_get_<f>, _set_<f>, _has_<f> and
 * _clear_<f>, with an index i for a run of fields or an array element, and
 * zim_$(t)_<f>_length for an array (the object's count, or N). <f> is the
 * field's name or field_<number>. Values of 1, 2, 4 or 8 bytes pass as
 * uint8_t to uint64_t; wider ones as bytes: get returns their address, set
 * copies the field's width from value. set writes the value, then its flag
 * with release ordering; has reads the flag with acquire ordering; clear
 * zeroes it; get ignores it. Each checks first that obj is not null and of
 * table id $(table_id), that an index lies inside the run or the array, and
 * that an array element and flag lie inside obj's total_obj_size bytes; a
 * failed check ends the process with an assertion report naming the accessor,
 * before anything is read or written, whether or not NDEBUG is set. In a
 * versioned pool, set and clear also end it so outside this process's open
 * write of obj (zim_shm_pool_write_begin to _end, or from its allocation to
 * its first write_end); they never open one themselves. Arrays
 * are reached through the object's own pointers: fix them after a move first,
 * or read a snapshot. */
)tpl";

constexpr const char* kScalar = R"tpl(static inline $(V) $(get)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return zim_tables_load_u$(bits)($(data));
}
static inline void $(set)(qor_$(t)_obj_st obj$(ip), $(V) value) {
$(check)  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store($(data), &value, $(width)u, $(flag));
}
)tpl";

constexpr const char* kBytes = R"tpl(static inline uint8_t *$(get)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return $(data);
}
static inline void $(set)(qor_$(t)_obj_st obj$(ip), const void *value) {
$(check)  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_store($(data), value, $(width)u, $(flag));
}
)tpl";

constexpr const char* kFlag = R"tpl(static inline zim_bool_t $(has)(qor_$(t)_obj_st obj$(ip)) {
$(check)  return zim_tables_flag_up($(flag));
}
static inline void $(clear)(qor_$(t)_obj_st obj$(ip)) {
$(check)  ZIM_TABLES_CHECK_WRITE(obj);
  zim_tables_flag_lower($(flag));
}
)tpl";

constexpr const char* kCountedLength = R"tpl(static inline uint32_t $(length)(qor_$(t)_obj_st obj) {
$(object_check)  return zim_tables_load_u32(zim_tables_at(obj, $(COUNT_OFFSET)));
}
)tpl";

constexpr const char* kPerNpuLength = R"tpl(static inline uint32_t $(length)(qor_$(t)_obj_st obj) {
$(object_check)  return hulcon_config_get_max_num_npus();
}
)tpl";

Vars constants_of(const Constants& names) { return Vars(names.begin(), names.end()); }

// v holds the type's values (t, COUNT_OFFSET, object_check) and the last
// field's, which this field's replace: one map for all the type's fields.
std::string field_accessors(Vars& v, const TypeLayout& type, const FieldLayout& f, size_t index) {
  const AccessorNames names = accessor_names(type.name, f, index);
  const Vars c = constants_of(field_constants(type.name, f, index));
  const bool indexed = f.is_array() || f.run_length > 1;
  v["get"] = names.get;
  v["set"] = names.set;
  v["has"] = names.has;
  v["clear"] = names.clear;
  v["length"] = names.length;
  v["width"] = str(f.width);
  v["ip"] = indexed ? ", uint32_t i" : "";
  if (f.is_array()) {
    v["check"] = v["object_check"] + "  ZIM_TABLES_CHECK_INDEX(i, " + names.length + "(obj));\n";
    v["data"] = "ZIM_TABLES_ELEMENT(obj, " + c.at("PTR") + ", " + c.at("ELEM_SIZE") + ", i)";
    v["flag"] = "ZIM_TABLES_ELEMENT_FLAG(obj, " + c.at("FLAGS_PTR") + ", i)";
  } else if (indexed) {
    v["check"] = v["object_check"] + "  ZIM_TABLES_CHECK_INDEX(i, " + c.at("RUN") + ");\n";
    v["data"] = "zim_tables_at(obj, " + c.at("OFFSET") + " + " + c.at("WIDTH") + " * (uint64_t)i)";
    v["flag"] = "zim_tables_at(obj, " + c.at("FLAG") + " + (uint64_t)i)";
  } else {
    v["check"] = v["object_check"];
    v["data"] = "zim_tables_at(obj, " + c.at("OFFSET") + ")";
    v["flag"] = "zim_tables_at(obj, " + c.at("FLAG") + ")";
  }
  std::string text = "\n/* " + field_label(f, index) + ": " + item_text(f) + " */\n";
  if (f.kind == ItemKind::kCountedArray) text += render(kCountedLength, v);
  if (f.kind == ItemKind::kPerNpuArray) text += render(kPerNpuLength, v);
  const uint32_t w = f.width;
  if (w == 1 || w == 2 || w == 4 || w == 8) {
    v["bits"] = str(w * 8);
    v["V"] = "uint" + str(w * 8) + "_t";
    text += render(kScalar, v);
  } else {
    text += render(kBytes, v);
  }
  return text + render(kFlag, v);
}

}  // namespace

std::string accessors(const TypeLayout& type) {
  const bool per_npu =
      std::any_of(type.fields.begin(), type.fields.end(),
                  [](const FieldLayout& f) { return f.kind == ItemKind::kPerNpuArray; });
  Vars v = constants_of(type_constants(type.name));
  v["t"] = type.name;
  v["snapshot"] = snapshot_name(type.name);
  v["table_id"] = str(type.table_id);
  v["count_read"] = type.count_field ? "zim_tables_load_once_u32(zim_tables_at(obj, " +
                                           v.at("COUNT_OFFSET") + "))"
                                     : "0u";
  v["npus"] = per_npu ? "hulcon_config_get_max_num_npus()" : "0u";
  v["fix_whole"] = type.size_check ? "  if (bytes != NULL) " +
                                         operation_name(kOperations[kFixPtrs], type.name) +
                                         "(npd_size, *copy);\n"
                                   : "";
  v["fix_heap"] = type.size_check
                      ? "  if (copy != NULL) " + operation_name(kOperations[kFixPtrs], type.name) +
                            "(npd_size, copy);\n"
                      : "";
  std::string text = render(kIntro, v);
  v["object_check"] = "  ZIM_TABLES_CHECK_OBJECT(obj, " + v.at("TABLE_ID") + ");\n";
  for (size_t i = 0; i < type.fields.size(); ++i) {
    text += field_accessors(v, type, type.fields[i], i);
  }
  return text;
}

}  // namespace tablegen
