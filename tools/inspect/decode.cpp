// SPDX-License-Identifier: Apache-2.0
#include "decode.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>

#include "zim/tables/table_object.h"

namespace zim_inspect {

std::string hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

void put_object_header(Json& doc, const TypeLayout& type, const Sizing& sizing,
                       const ObjectMap* map) {
  doc["type"] = type.name;
  doc["table_id"] = type.table_id;
  doc["class"] = zim_codec::class_keyword(type.type_class);
  doc["npus"] = sizing.npus;
  doc["npd_size"] = sizing.npd_size;
  if (map) {
    doc["count"] = type.count_field ? Json(sizing.count) : Json(nullptr);
    doc["size"] = map->end;
  }
}

void SpanSource::fetch(uint64_t offset, void* to, uint64_t n) const {
  std::memcpy(to, data_ + offset, n);
}

void WindowedSource::fetch(uint64_t offset, void* to, uint64_t n) const {
  constexpr uint64_t kWindow = 64 * 1024;
  if (n > kWindow) return load(offset, to, n);
  const auto holds = [&](const Window& w) {
    return offset >= w.start && offset - w.start <= w.filled && n <= w.filled - (offset - w.start);
  };
  if (!holds(windows_[last_])) {
    last_ ^= 1;  // the other one, or the one read less recently
    Window& w = windows_[last_];
    if (!holds(w)) {
      w.bytes.resize(kWindow);
      w.filled = 0;  // until the load succeeds
      const uint64_t len = size_ - offset < kWindow ? size_ - offset : kWindow;
      load(offset, w.bytes.data(), len);
      w.start = offset;
      w.filled = len;
    }
  }
  const Window& w = windows_[last_];
  std::memcpy(to, w.bytes.data() + (offset - w.start), n);
}

namespace {

// Host byte order: the objects come from processes on this machine.
uint64_t load(const ByteSource& bytes, uint64_t offset, uint32_t width) {
  unsigned char b[8];
  bytes.read(offset, b, width);
  switch (width) {
    case 1:
      return b[0];
    case 2: {
      uint16_t x;
      std::memcpy(&x, b, 2);
      return x;
    }
    case 4: {
      uint32_t x;
      std::memcpy(&x, b, 4);
      return x;
    }
    default: {
      uint64_t x;
      std::memcpy(&x, b, 8);
      return x;
    }
  }
}

bool is_number(uint64_t width) { return width == 1 || width == 2 || width == 4 || width == 8; }

// A type-header field's value, whole.
Json value_of(const ByteSource& bytes, uint64_t offset, uint64_t width) {
  if (is_number(width)) return load(bytes, offset, static_cast<uint32_t>(width));
  std::ostringstream text;
  put_hex_bytes(text, Value{&bytes, offset, width});
  return text.str();
}

// Reads are bounded up front: the layout's facts all lie inside its fixed
// part (bounds_problem) and the object holds at least that; an array is read
// only when it lies inside the object's bytes.
class Checker {
 public:
  Checker(const TypeLayout& type, const ByteSource& bytes, Sizing sizing)
      : type_(type), bytes_(bytes), sizing_(sizing) {}

  const std::vector<std::string>& run() {
    if (const auto outside = bounds_problem(type_)) {
      problem("the layout of the type is unusable: " + *outside);
      return problems_;
    }
    if (bytes_.size() < type_.fixed_size) {
      problem("the object holds " + std::to_string(bytes_.size()) +
              " bytes, fewer than the fixed size " + std::to_string(type_.fixed_size));
      return problems_;
    }
    if (type_.count_field) sizing_.count = static_cast<uint32_t>(field(*type_.count_field, 4));
    map_ = place(type_, sizing_);
    placed_ = true;
    check_base_header();
    check_npd_present();
    // Beyond the object's bytes the placement cannot be right for any base:
    // the size problem says it all.
    if (map_.end <= bytes_.size()) check_pointers();
    return problems_;
  }

  // After run: everything read, to `out`.
  void write(ObjectWriter& out) const {
    Json head;
    put_object_header(head, type_, sizing_, placed_ ? &map_ : nullptr);
    head["consistent"] = problems_.empty();
    head["problems"] = problems_;
    if (!placed_) {
      out.head(head);
      return out.finish();
    }
    head["object_at"] = object_at_ ? Json(hex(*object_at_)) : Json(nullptr);
    Json& base = head["base_header"] = Json::object();
    for (const BaseField& b : kBaseFields) base[b.name] = field(b.offset, b.width);
    Json& header = head["type_header"] = Json::array();
    for (const auto& h : type_.header) {
      header.push_back({{"offset", h.offset},
                        {"width", h.width},
                        {"value", value_of(bytes_, h.offset, h.width)}});
    }
    out.head(head);
    write_fields(out);
    write_arrays(out);
    out.finish();
  }

 private:
  uint64_t field(uint64_t offset, uint32_t width) const { return load(bytes_, offset, width); }
  unsigned flag(uint64_t offset) const { return static_cast<unsigned>(field(offset, 1)); }
  void problem(const std::string& text) { problems_.push_back(text); }

  std::string sizing_text() const {
    std::string text =
        "N " + std::to_string(sizing_.npus) + ", NPD size " + std::to_string(sizing_.npd_size);
    return type_.count_field ? text + ", count " + std::to_string(sizing_.count) : text;
  }

  void check_base_header() {
    const uint64_t table_id = field(ZIM_OBJ_TABLE_ID_OFFSET, 2);
    if (table_id != type_.table_id) {
      problem("table_id is " + std::to_string(table_id) + ", expected " +
              std::to_string(type_.table_id) + " (" + type_.name + ")");
    }
    const uint64_t alloc_state = field(ZIM_OBJ_ALLOC_STATE_OFFSET, 1);
    if (alloc_state != 1) {
      problem("alloc_state is " + std::to_string(alloc_state) + ", expected 1 (allocated)");
    }
    // The allocator stores the size as a 32-bit number.
    const uint64_t total = field(ZIM_OBJ_TOTAL_SIZE_OFFSET, 4);
    if (total != (map_.end & UINT32_MAX)) {
      problem("total_obj_size is " + std::to_string(total) + ", expected " +
              std::to_string(map_.end) + " for " + sizing_text());
    }
    if (map_.end > bytes_.size()) {
      problem("the layout for " + sizing_text() + " needs " + std::to_string(map_.end) +
              " bytes, beyond the " + std::to_string(bytes_.size()) + " bytes of the object");
    }
  }

  void check_npd_present() {
    const unsigned expected = sizing_.npd_size != 0 ? 1 : 0;
    const unsigned present = flag(type_.npd_present);
    if (present != expected) {
      problem("npd_present is " + std::to_string(present) + ", expected " +
              std::to_string(expected) + " for NPD size " + std::to_string(sizing_.npd_size));
    }
  }

  // Every pointer must point into one object: the base that most pointers
  // agree on is taken as the object's address, and each other one reported.
  void check_pointers() {
    std::map<uint64_t, int> votes;
    for (const PlacedArray& a : map_.arrays) {
      const FieldLayout& f = type_.fields[a.field];
      if (a.length == 0) continue;
      if (const uint64_t d = field(f.offset, 8)) ++votes[d - a.storage];
      if (const uint64_t p = field(f.flag_at, 8)) ++votes[p - a.flags];
    }
    int best = 0;
    for (const auto& [candidate, count] : votes) {
      if (count > best) object_at_ = candidate, best = count;
    }
    for (const PlacedArray& a : map_.arrays) {
      const FieldLayout& f = type_.fields[a.field];
      check_pointer("data pointer of " + field_title(type_, a.field), f.offset, a, a.storage);
      check_pointer("flag pointer of " + field_title(type_, a.field), f.flag_at, a, a.flags);
    }
  }

  void check_pointer(const std::string& what, uint32_t slot, const PlacedArray& a,
                     uint64_t offset) {
    const uint64_t value = field(slot, 8);
    if (a.length == 0) {
      if (value != 0) problem(what + " is " + hex(value) + ", expected null for count 0");
    } else if (!object_at_) {
      problem(what + " is null, expected the address of offset " + std::to_string(offset));
    } else if (value != *object_at_ + offset) {
      problem(what + " is " + (value ? hex(value) : std::string("null")) + ", expected " +
              hex(*object_at_ + offset) + " (offset " + std::to_string(offset) +
              " of the object at " + hex(*object_at_) + ")");
    }
  }

  void write_fields(ObjectWriter& out) const {
    out.section("fields");
    for (size_t i = 0; i < type_.fields.size(); ++i) {
      const FieldLayout& f = type_.fields[i];
      if (f.kind != zim_codec::ItemKind::kInline) continue;
      out.entry({{"name", field_label(type_, i)},
                 {"offset", f.offset},
                 {"width", f.width},
                 {"flag_at", f.flag_at}},
                f.run_length);
      for (uint32_t k = 0; k < f.run_length; ++k) {
        out.item({&bytes_, f.offset + uint64_t{k} * f.width, f.width}, flag(f.flag_at + k));
      }
    }
  }

  // Elements are read at the offsets the layout gives, so that a damaged
  // pointer does not hide them; nothing beyond the object's bytes is read.
  void write_arrays(ObjectWriter& out) const {
    out.section("arrays");
    for (const PlacedArray& a : map_.arrays) {
      const FieldLayout& f = type_.fields[a.field];
      const bool within = a.within(bytes_.size());
      out.entry({{"name", field_label(type_, a.field)},
                 {"kind", f.kind == zim_codec::ItemKind::kPerNpuArray ? "per_npu" : "counted"},
                 {"elem_size", f.width},
                 {"length", a.length},
                 {"data_ptr", hex(field(f.offset, 8))},
                 {"flag_ptr", hex(field(f.flag_at, 8))},
                 {"storage_at", a.storage},
                 {"flags_at", a.flags}},
                within ? a.length : 0);
      for (uint64_t k = 0; within && k < a.length; ++k) {
        out.item({&bytes_, a.storage + k * f.width, f.width}, flag(a.flags + k));
      }
    }
  }

  const TypeLayout& type_;
  const ByteSource& bytes_;
  Sizing sizing_;
  ObjectMap map_;
  bool placed_ = false;
  std::optional<uint64_t> object_at_;  // the base most pointers agree on
  std::vector<std::string> problems_;
};

}  // namespace

void put_value(std::ostream& out, const Value& value, bool as_json) {
  if (!is_number(value.width)) {
    if (as_json) out << '"';
    put_hex_bytes(out, value);
    if (as_json) out << '"';
    return;
  }
  const uint64_t v = load(*value.bytes, value.offset, static_cast<uint32_t>(value.width));
  if (as_json) {
    out << v;
    return;
  }
  // Formatted in place: a value per element, and nothing allocated for it.
  char text[48];
  const int n = std::snprintf(text, sizeof text, "0x%" PRIx64 " (%" PRIu64 ")", v, v);
  out.write(text, n);
}

void put_hex_bytes(std::ostream& out, const Value& value) {
  static const char digits[] = "0123456789abcdef";
  unsigned char chunk[4096];
  char text[2 * sizeof chunk];
  for (uint64_t done = 0; done < value.width;) {
    const uint64_t n = std::min<uint64_t>(sizeof chunk, value.width - done);
    value.bytes->read(value.offset + done, chunk, n);
    for (uint64_t i = 0; i < n; ++i) {
      text[2 * i] = digits[chunk[i] >> 4];
      text[2 * i + 1] = digits[chunk[i] & 15];
    }
    out.write(text, static_cast<std::streamsize>(2 * n));
    done += n;
  }
}

std::vector<std::string> check(const TypeLayout& type, const ByteSource& bytes, Sizing sizing) {
  return Checker(type, bytes, sizing).run();
}

bool decode(const TypeLayout& type, const ByteSource& bytes, Sizing sizing, ObjectWriter& out) {
  Checker checker(type, bytes, sizing);
  const bool consistent = checker.run().empty();
  checker.write(out);
  return consistent;
}

}  // namespace zim_inspect
