// SPDX-License-Identifier: Apache-2.0
#include "codec/fingerprint.hpp"

namespace zim_codec {
namespace {

std::string num(uint64_t v) { return std::to_string(v); }

std::string array_line(const FieldLayout& f) {
  return std::string("array ") + num(f.offset) +
         (f.kind == ItemKind::kPerNpuArray ? " per_npu" : " counted") + " elem " + num(f.width) +
         " flag_ptr " + num(f.flag_at) + "\n";
}

}  // namespace

std::string fingerprint_text(const TypeLayout& t) {
  std::string out = "zim_tables layout fingerprint " + num(kFingerprintVersion) + "\n";
  out += "type " + num(t.table_id) + " " + t.name + "\n";
  out += std::string("class ") + class_keyword(t.type_class) + "\n";
  out += "count " + (t.count_field ? num(*t.count_field) : std::string("none")) + "\n";
  out += std::string("size_check ") + (t.size_check ? "on" : "off") + "\n";
  out += std::string("obj_flags_bit5 ") + (t.sets_obj_flags_bit5 ? "set" : "clear") + "\n";
  out += "fixed_size " + num(t.fixed_size) + "\n";
  for (const HeaderField& h : t.header) {
    out += "header " + num(h.offset) + " " + num(h.width) + "\n";
  }
  for (const FieldLayout& f : t.fields) {
    if (f.is_array()) {
      out += array_line(f);
      continue;
    }
    // A run and the single fields it stands for are the same bytes.
    for (uint64_t i = 0; i < f.run_length; ++i) {
      out += "field " + num(f.offset + i * f.width) + " width " + num(f.width) + " flag " +
             num(f.flag_at + i) + "\n";
    }
  }
  out += "npd_present " + num(t.npd_present) + "\n";
  out += "dynamic";
  for (const uint32_t at : t.dynamic) out += " " + num(at);
  return out + "\n";
}

uint64_t layout_fingerprint(const TypeLayout& type) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : fingerprint_text(type)) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  return hash;
}

std::string fingerprint_hex(uint64_t fingerprint) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, fingerprint >>= 4)
    out[static_cast<size_t>(i)] = kHex[fingerprint & 15];
  return out;
}

std::optional<uint64_t> read_fingerprint_hex(std::string_view text) {
  if (text.size() != 16 || text.find_first_not_of("0123456789abcdef") != std::string_view::npos) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (const char c : text)
    value = value << 4 | static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
  return value;
}

}  // namespace zim_codec
