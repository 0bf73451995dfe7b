// SPDX-License-Identifier: Apache-2.0
#include "reference.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace zim_test {
namespace {

using Row = std::vector<std::string>;

// The types whose allocator sets bit 5 of obj_flags.
constexpr uint32_t kBit5Types[] = {5,   7,   12,  26,  27,  50,  51,  61,  62,  63,  69,
                                   70,  72,  185, 186, 187, 197, 198, 199, 200, 202, 212,
                                   213, 219, 226, 227, 238, 241, 242, 246, 250, 251, 263,
                                   267, 272, 279, 285, 286, 294, 338, 339};

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  for (std::string piece; std::getline(in, piece, sep);) pieces.push_back(piece);
  return pieces;
}

// The rows of a tab-separated file, without its '#' header line.
std::vector<Row> read_tsv(const char* name, size_t columns) {
  const std::string path = std::string(ZIM_TEST_DATA_DIR) + "/" + name;
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.push_back(split(line, '\t'));
    if (rows.back().size() != columns) throw std::runtime_error(path + ": bad row: " + line);
  }
  return rows;
}

uint32_t number(const std::string& text) { return static_cast<uint32_t>(std::stoul(text)); }

// "D/F:s" entries, "(N)" marking per-NPU arrays of counted types.
std::vector<RefArray> parse_arrays(const std::string& text, bool all_per_npu) {
  std::vector<RefArray> arrays;
  if (text == "-") return arrays;
  for (const auto& entry : split(text, ',')) {
    RefArray a;
    if (std::sscanf(entry.c_str(), "%u/%u:%u", &a.data_ptr, &a.flag_ptr, &a.elem_size) != 3) {
      throw std::runtime_error("array_fields.tsv: bad array " + entry);
    }
    a.per_npu = all_per_npu || entry.find("(N)") != std::string::npos;
    arrays.push_back(a);
  }
  return arrays;
}

std::vector<RefType> load() {
  std::vector<RefType> types;
  for (const auto& r : read_tsv("catalogue_index.tsv", 5)) {
    RefType t;
    t.id = number(r[0]);
    t.name = r[1];
    t.mark = r[2];
    t.fixed_size = number(r[3]);
    t.alloc_line = number(r[4]);
    t.sets_bit5 =
        std::find(std::begin(kBit5Types), std::end(kBit5Types), t.id) != std::end(kBit5Types);
    if (t.id != types.size()) throw std::runtime_error("catalogue_index.tsv: ids out of order");
    types.push_back(t);
  }
  auto at = [&](const Row& r, const char* file) -> RefType& {
    const uint32_t id = number(r[0]);
    if (id >= types.size() || types[id].name != r[1]) {
      throw std::runtime_error(std::string(file) + ": unknown type " + r[0] + " " + r[1]);
    }
    return types[id];
  };
  for (const auto& r : read_tsv("array_fields.tsv", 7)) {
    RefType& t = at(r, "array_fields.tsv");
    if (number(r[2]) != t.fixed_size) throw std::runtime_error("fixed sizes disagree: " + t.name);
    t.count_field = r[3] == "-" ? 0 : number(r[3]);
    t.per_npu_bytes = number(r[4]);
    t.per_elem_bytes = number(r[5]);
    t.arrays = parse_arrays(r[6], t.mark[0] == 'N');
  }
  for (const auto& r : read_tsv("wisp.tsv", 4)) {
    RefType& t = at(r, "wisp.tsv");
    t.wisp_base = number(r[2]);
    t.wisp_pattern = r[3][0];
  }
  return types;
}

}  // namespace

uint32_t RefType::per_npu_arrays() const {
  uint32_t n = 0;
  for (const auto& a : arrays) n += a.per_npu;
  return n;
}

uint32_t RefType::fix_ptrs_line() const {
  const uint32_t n = per_npu_arrays(), c = static_cast<uint32_t>(arrays.size()) - n;
  if (mark[0] == 'C') return 49 + 9 * c + 4 * n;
  return size_checked() ? 48 + 4 * n : 0;
}

uint32_t RefType::size_ptr_line() const {
  if (!size_checked()) return mark == "F" ? 65 : 67;
  return fix_ptrs_line() + (mark[0] == 'C' ? 22 : 21);
}

std::vector<uint32_t> RefType::wisp() const {
  const uint32_t b = wisp_base;
  switch (wisp_pattern) {
    case 'R':
      return {b + 2, b, b + 1, b + 2, b, b + 1};
    case 'G':
      return {b, b + 1, b + 3, b, b + 1, b + 3};
    case 'X':
      return {b, b + 1, b + 2, b + 3, b + 4, b + 5};
    default:
      return {b, b + 1, b + 2, b, b + 1, b + 2};
  }
}

std::string RefType::unit_path() const {
  return "./platforms/common/zim/tables/src/vesk-autogensrc/" + name + "_common_utils";
}

const std::vector<RefType>& reference() {
  static const std::vector<RefType> types = load();
  return types;
}

}  // namespace zim_test
