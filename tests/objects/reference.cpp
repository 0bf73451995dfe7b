#include "reference.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zim_test {
namespace {

// The types whose allocator sets bit 5 of obj_flags.
constexpr uint32_t kBit5Types[] = {5,   7,   12,  26,  27,  50,  51,  61,  62,  63,  69,
                                   70,  72,  185, 186, 187, 197, 198, 199, 200, 202, 212,
                                   213, 219, 226, 227, 238, 241, 242, 246, 250, 251, 263,
                                   267, 272, 279, 285, 286, 294, 338, 339};

std::vector<std::vector<std::string>> read_tsv(const char* file) {
  std::ifstream in(std::string(ZIM_TEST_DATA_DIR) + "/" + file);
  if (!in) throw std::runtime_error(std::string("cannot read ") + file);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> row;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, '\t');) row.push_back(cell);
    rows.push_back(row);
  }
  return rows;
}

uint32_t number(const std::string& s) { return s == "-" ? 0 : std::stoul(s); }

// "400/464:8" or "296/400:2(N)"; arrays of a type without a count are all
// per-NPU and carry no mark.
ref_array parse_array(const std::string& s, bool counted_type) {
  ref_array a{};
  char mark[4] = {};
  if (std::sscanf(s.c_str(), "%u/%u:%u%3s", &a.data_ptr, &a.flag_ptr, &a.elem, mark) < 3) {
    throw std::runtime_error("bad array " + s);
  }
  a.per_npu = !counted_type || std::string(mark) == "(N)";
  return a;
}

std::vector<ref_type> load() {
  std::vector<ref_type> types;
  for (const auto& row : read_tsv("catalogue_index.tsv")) {
    ref_type t;
    t.id = number(row.at(0));
    t.name = row.at(1);
    t.cls = row.at(2);
    t.fixed_size = number(row.at(3));
    t.alloc_line = number(row.at(4));
    t.sets_bit5 = std::count(std::begin(kBit5Types), std::end(kBit5Types), t.id) != 0;
    if (t.id != types.size()) throw std::runtime_error("catalogue_index.tsv out of order");
    types.push_back(t);
  }
  for (const auto& row : read_tsv("array_fields.tsv")) {
    ref_type& t = types.at(number(row.at(0)));
    t.count_field = number(row.at(3));
    t.per_npu_bytes = number(row.at(4));
    t.per_elem_bytes = number(row.at(5));
    std::istringstream list(row.at(6));
    for (std::string item; std::getline(list, item, ',');) {
      if (item != "-") t.arrays.push_back(parse_array(item, t.count_field != 0));
    }
  }
  return types;
}

// The n in "<letter><n>" within a class such as "C9+N1", or 0.
uint32_t class_count(const std::string& cls, char letter) {
  const auto at = cls.find(letter);
  return at == std::string::npos || at + 1 >= cls.size() ? 0 : std::stoul(cls.substr(at + 1));
}

}  // namespace

const std::vector<ref_type>& reference_types() {
  static const std::vector<ref_type> types = load();
  return types;
}

uint32_t ref_type::fix_ptrs_line() const {
  const uint32_t nn = class_count(cls, 'N'), nc = class_count(cls, 'C');
  if (cls == "S") return 48;
  if (cls[0] == 'N') return 48 + 4 * nn;
  if (cls[0] == 'C') return 49 + 9 * nc + 4 * nn;
  return 0;
}

std::string ref_type::unit_path() const {
  return "./platforms/common/zim/tables/src/vesk-autogensrc/" + name + "_common_utils";
}

assert_report ref_type::fix_ptrs_report() const {
  return {"pointer_fixed_size <= obj_inst->base.total_obj_size", unit_path(), fix_ptrs_line(),
          "void qor_" + name + "_fix_ptrs(uint32_t, qor_" + name + "_obj_st)"};
}

assert_report ref_type::alloc_report() const {
  return {"obj_inst", unit_path(), alloc_line,
          "srv_" + name + "_t " + name + "_srv_alloc(uint32_t, zim_bool_t)"};
}

layout expected_layout(const ref_type& t, uint32_t npus, uint32_t npd, uint32_t count) {
  layout l{uint64_t{t.fixed_size} + npd, {}};
  for (const ref_array& a : t.arrays) {
    placed_array p{a, a.per_npu ? npus : count, 0, 0};
    // Per-NPU arrays are placed even when empty; empty counted ones are not.
    if (a.per_npu || count != 0) {
      p.data_at = l.size;
      l.size += p.length * a.elem;
      p.flags_at = l.size;
      l.size += p.length;
    }
    l.arrays.push_back(p);
  }
  return l;
}

std::vector<combo> combos(const ref_type& t) {
  std::vector<combo> all;
  for (uint32_t npus : {0u, 1u, 5u}) {
    for (uint32_t npd : {0u, 7u, 64u}) {
      for (uint32_t count : {0u, 1u, 3u}) {
        if (count == 0 || t.count_field != 0) all.push_back({npus, npd, count});
      }
    }
  }
  return all;
}

std::string describe(const ref_type& t, const combo& c) {
  return t.name + " N=" + std::to_string(c.npus) + " npd=" + std::to_string(c.npd) +
         " count=" + std::to_string(c.count);
}

bytes fresh_image(const ref_type& t, const layout& l, const void* base, uint32_t npd,
                  uint32_t count, uint32_t uid) {
  bytes image(l.size);
  put<uint32_t>(image.data(), ZIM_OBJ_UID_OFFSET, uid);
  image[ZIM_OBJ_FLAGS_OFFSET] = t.sets_bit5 ? ZIM_OBJ_FLAGS_BIT5 : 0;
  put<uint32_t>(image.data(), ZIM_OBJ_TOTAL_SIZE_OFFSET, static_cast<uint32_t>(l.size));
  put<uint16_t>(image.data(), ZIM_OBJ_TABLE_ID_OFFSET, static_cast<uint16_t>(t.id));
  image[ZIM_OBJ_ALLOC_STATE_OFFSET] = 1;
  image[t.cat().npd_present] = npd != 0;
  if (t.count_field != 0) put<uint32_t>(image.data(), t.count_field, count);
  write_pointers(image.data(), l, base);
  return image;
}

void write_pointers(unsigned char* image, const layout& l, const void* base) {
  const auto at = [base](uint64_t offset) {
    return offset == 0 ? 0 : reinterpret_cast<uintptr_t>(base) + offset;
  };
  for (const placed_array& p : l.arrays) {
    put<uintptr_t>(image, p.field.data_ptr, at(p.data_at));
    put<uintptr_t>(image, p.field.flag_ptr, at(p.flags_at));
  }
}

void scramble(void* obj, const ref_type& t, const layout& l, std::mt19937& rng) {
  const bytes before = snapshot(obj, l.size);
  auto* b = static_cast<unsigned char*>(obj);
  for (uint64_t i = 0; i < l.size; ++i) b[i] = static_cast<unsigned char>(rng());
  const auto keep = [&](uint64_t at, uint64_t n) { std::memcpy(b + at, &before[at], n); };
  for (const ref_array& a : t.arrays) {
    keep(a.data_ptr, 8);
    keep(a.flag_ptr, 8);
  }
  if (t.count_field != 0) keep(t.count_field, 4);
}

std::string first_difference(const void* obj, const bytes& image) {
  const auto* b = static_cast<const unsigned char*>(obj);
  for (size_t i = 0; i < image.size(); ++i) {
    if (b[i] != image[i]) {
      char text[64];
      std::snprintf(text, sizeof text, "byte %zu is 0x%02x, expected 0x%02x", i, b[i], image[i]);
      return text;
    }
  }
  return "";
}

std::string report_text(const std::optional<assert_report>& r) {
  if (!r) return "none";
  return r->assertion + " | " + r->file + " | " + std::to_string(r->line) + " | " + r->function;
}

std::string call_trace() {
  std::string trace;
  for (const platform_call& c : calls()) {
    const std::string id = std::to_string(c.table_id), size = std::to_string(c.size);
    // N is asked at every use; how often is no concern of these traces.
    if (c.what == platform_call::npd_size) trace += "npd(" + id + ") ";
    if (c.what == platform_call::uid) trace += "uid ";
    if (c.what == platform_call::pool_calloc) trace += "pool(" + id + "," + size + ") ";
    if (c.what == platform_call::table_props) trace += "props(" + id + ") ";
    if (c.what == platform_call::heap_calloc) trace += "calloc(" + size + ") ";
    if (c.what == platform_call::heap_free) trace += "free ";
  }
  if (!trace.empty()) trace.pop_back();
  return trace;
}

}  // namespace zim_test
