// SPDX-License-Identifier: Apache-2.0
#include "decode.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>

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
  doc["class"] = tablegen::class_keyword(type.type_class);
  doc["npus"] = sizing.npus;
  doc["npd_size"] = sizing.npd_size;
  if (map) {
    doc["count"] = type.count_field ? Json(sizing.count) : Json(nullptr);
    doc["size"] = map->end;
  }
}

namespace {

// Host byte order: the objects come from processes on this machine.
uint64_t load(const unsigned char* p, uint32_t width) {
  switch (width) {
    case 1:
      return p[0];
    case 2: {
      uint16_t x;
      std::memcpy(&x, p, 2);
      return x;
    }
    case 4: {
      uint32_t x;
      std::memcpy(&x, p, 4);
      return x;
    }
    default: {
      uint64_t x;
      std::memcpy(&x, p, 8);
      return x;
    }
  }
}

// A field's value: a number for 1, 2, 4 and 8 bytes, else its bytes in hex.
Json value_of(const unsigned char* p, uint64_t width) {
  if (width == 1 || width == 2 || width == 4 || width == 8) {
    return load(p, static_cast<uint32_t>(width));
  }
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint64_t i = 0; i < width; ++i) {
    text += digits[p[i] >> 4];
    text += digits[p[i] & 15];
  }
  return text;
}

// Reads are bounded up front: the layout's facts all lie inside its fixed
// part (bounds_problem) and the object holds at least that; an array is read
// only when it lies inside the object's bytes.
class Checker {
 public:
  // Without a view, only the problems are found.
  Checker(const TypeLayout& type, ByteSpan bytes, Sizing sizing, Json* view)
      : type_(type), bytes_(bytes), sizing_(sizing), view_(view) {}

  std::vector<std::string> run() {
    if (view_) put_object_header(*view_, type_, sizing_, nullptr);
    if (const auto outside = bounds_problem(type_)) {
      problem("the layout of the type is unusable: " + *outside);
      return finish();
    }
    if (bytes_.size < type_.fixed_size) {
      problem("the object holds " + std::to_string(bytes_.size) +
              " bytes, fewer than the fixed size " + std::to_string(type_.fixed_size));
      return finish();
    }
    if (type_.count_field) sizing_.count = static_cast<uint32_t>(load(at(*type_.count_field), 4));
    map_ = place(type_, sizing_);
    if (view_) {
      Json& v = *view_;
      put_object_header(v, type_, sizing_, &map_);
      // Placeholders keep the keys in their documented order.
      v["consistent"] = false;
      v["problems"] = Json::array();
      v["object_at"] = nullptr;
    }
    check_base_header();
    check_npd_present();
    // Beyond the object's bytes the placement cannot be right for any base:
    // the size problem says it all.
    if (map_.end <= bytes_.size) check_pointers();
    if (view_) {
      read_header_and_fields();
      read_arrays();
    }
    return finish();
  }

 private:
  const unsigned char* at(uint64_t offset) const { return bytes_.data + offset; }
  uint64_t field(uint32_t offset, uint32_t width) const { return load(at(offset), width); }
  void problem(const std::string& text) { problems_.push_back(text); }

  std::vector<std::string> finish() {
    if (view_) {
      (*view_)["consistent"] = problems_.empty();
      (*view_)["problems"] = problems_;
    }
    return std::move(problems_);
  }

  std::string sizing_text() const {
    std::string text =
        "N " + std::to_string(sizing_.npus) + ", NPD size " + std::to_string(sizing_.npd_size);
    return type_.count_field ? text + ", count " + std::to_string(sizing_.count) : text;
  }

  void check_base_header() {
    if (view_) {
      Json base;
      for (const BaseField& b : kBaseFields) base[b.name] = field(b.offset, b.width);
      (*view_)["base_header"] = std::move(base);
    }
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
    if (map_.end > bytes_.size) {
      problem("the layout for " + sizing_text() + " needs " + std::to_string(map_.end) +
              " bytes, beyond the " + std::to_string(bytes_.size) + " bytes of the object");
    }
  }

  void check_npd_present() {
    const unsigned expected = sizing_.npd_size != 0 ? 1 : 0;
    if (*at(type_.npd_present) != expected) {
      problem("npd_present is " + std::to_string(*at(type_.npd_present)) + ", expected " +
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
      if (const uint64_t d = load(at(f.offset), 8)) ++votes[d - a.storage];
      if (const uint64_t p = load(at(f.flag_at), 8)) ++votes[p - a.flags];
    }
    std::optional<uint64_t> base;
    int best = 0;
    for (const auto& [candidate, count] : votes) {
      if (count > best) base = candidate, best = count;
    }
    if (view_) (*view_)["object_at"] = base ? Json(hex(*base)) : Json(nullptr);
    for (const PlacedArray& a : map_.arrays) {
      const FieldLayout& f = type_.fields[a.field];
      check_pointer("data pointer of " + field_title(type_, a.field), f.offset, a, a.storage, base);
      check_pointer("flag pointer of " + field_title(type_, a.field), f.flag_at, a, a.flags, base);
    }
  }

  void check_pointer(const std::string& what, uint32_t slot, const PlacedArray& a, uint64_t offset,
                     const std::optional<uint64_t>& base) {
    const uint64_t value = load(at(slot), 8);
    if (a.length == 0) {
      if (value != 0) problem(what + " is " + hex(value) + ", expected null for count 0");
    } else if (!base) {
      problem(what + " is null, expected the address of offset " + std::to_string(offset));
    } else if (value != *base + offset) {
      problem(what + " is " + (value ? hex(value) : std::string("null")) + ", expected " +
              hex(*base + offset) + " (offset " + std::to_string(offset) + " of the object at " +
              hex(*base) + ")");
    }
  }

  void read_header_and_fields() {
    Json header = Json::array();
    for (const auto& h : type_.header) {
      header.push_back(
          {{"offset", h.offset}, {"width", h.width}, {"value", value_of(at(h.offset), h.width)}});
    }
    (*view_)["type_header"] = std::move(header);
    Json fields = Json::array();
    for (size_t i = 0; i < type_.fields.size(); ++i) {
      const FieldLayout& f = type_.fields[i];
      if (f.kind != tablegen::ItemKind::kInline) continue;
      Json values = Json::array();
      for (uint32_t k = 0; k < f.repeat; ++k) {
        values.push_back({{"value", value_of(at(f.offset + uint64_t{k} * f.width), f.width)},
                          {"flag", *at(f.flag_at + uint64_t{k})}});
      }
      fields.push_back({{"name", field_label(type_, i)},
                        {"offset", f.offset},
                        {"width", f.width},
                        {"flag_at", f.flag_at},
                        {"values", values}});
    }
    (*view_)["fields"] = std::move(fields);
  }

  // Elements are read at the offsets the layout gives, so that a damaged
  // pointer does not hide them; nothing beyond the object's bytes is read.
  void read_arrays() {
    Json arrays = Json::array();
    for (const PlacedArray& a : map_.arrays) {
      const FieldLayout& f = type_.fields[a.field];
      Json elements = Json::array();
      if (a.within(bytes_.size)) {
        for (uint64_t k = 0; k < a.length; ++k) {
          elements.push_back({{"value", value_of(at(a.storage + k * f.width), f.width)},
                              {"flag", *at(a.flags + k)}});
        }
      }
      arrays.push_back(
          {{"name", field_label(type_, a.field)},
           {"kind", f.kind == tablegen::ItemKind::kPerNpuArray ? "per_npu" : "counted"},
           {"elem_size", f.width},
           {"length", a.length},
           {"data_ptr", hex(load(at(f.offset), 8))},
           {"flag_ptr", hex(load(at(f.flag_at), 8))},
           {"storage_at", a.storage},
           {"flags_at", a.flags},
           {"elements", elements}});
    }
    (*view_)["arrays"] = std::move(arrays);
  }

  const TypeLayout& type_;
  const ByteSpan bytes_;
  Sizing sizing_;
  Json* const view_;
  ObjectMap map_;
  std::vector<std::string> problems_;
};

}  // namespace

std::vector<std::string> check(const TypeLayout& type, ByteSpan bytes, Sizing sizing) {
  return Checker(type, bytes, sizing, nullptr).run();
}

Decoded decode(const TypeLayout& type, ByteSpan bytes, Sizing sizing) {
  Decoded d;
  d.problems = Checker(type, bytes, sizing, &d.view).run();
  return d;
}

}  // namespace zim_inspect
