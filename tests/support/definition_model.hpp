// SPDX-License-Identifier: Apache-2.0
// A second, independent reading of table type definitions: its own tokenizer
// and arithmetic that cannot wrap, checked against the layout rules of
// defs/README.md. Tests and the fuzz target hold the generator to it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace model {

struct Lines {
  uint64_t fix_ptrs = 0;  // 0: no fix-up check
  uint64_t size_ptr = 0;
  uint64_t alloc = 0;
};

struct Model {
  std::string error;  // the first rule the definition breaks; empty when it holds
  std::string name;
  uint64_t id = 0;
  std::array<uint64_t, 6> wisp{};
  std::vector<uint64_t> flag_at;  // per field item: first presence flag or flag pointer
  uint64_t npd_present = 0;
  Lines lines;
};

// Judges one definition; a non-empty file_name must be the one its id and
// name call for.
Model check(std::string_view text, std::string_view file_name = {});

// The rules across a catalogue of accepted definitions; empty when they hold.
std::string check_catalogue(const std::vector<Model>& defs);

}  // namespace model
