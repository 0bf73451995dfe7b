// SPDX-License-Identifier: Apache-2.0
// Plain data read from one table type definition file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "codec/model.hpp"

namespace tablegen {

// The generator works on the runtime's layout model and text rules.
using namespace zim_codec;

// The comments and blank lines of a definition, kept for its canonical form.
// Text is kept from '#' to the end of the line; "" stands for a blank line.
struct SourceComments {
  std::vector<std::string> top;                    // before the first key line
  std::map<int, std::vector<std::string>> before;  // by the line of the key they precede
  std::map<int, std::string> trailing;             // by the line they end
  std::vector<std::string> bottom;                 // after the last key line
};

struct Definition : TypeFacts {
  std::string text;               // the file as read, for --format --write to compare
  std::vector<FieldItem> fields;  // layout order
  SourceComments comments;
};
}  // namespace tablegen
