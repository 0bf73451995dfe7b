// SPDX-License-Identifier: Apache-2.0
// One file an emitter makes, held in memory until the whole set is complete.
#pragma once

#include <filesystem>
#include <string>

namespace tablegen {

struct GeneratedFile {
  std::filesystem::path relative_path;  // below the folder of its kind, or the output folder
  std::string content;
};

}  // namespace tablegen
