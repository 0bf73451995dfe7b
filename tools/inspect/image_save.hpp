// SPDX-License-Identifier: Apache-2.0
// save and restore: a versioned pool's image written to a file while its
// server runs (image_save.cpp), and a kept pool made from one
// (image_restore.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "decode.hpp"

namespace zim_inspect {

// An object that a dead writer left torn: left out of the image.
struct TornObject {
  uint64_t offset = 0, pool_id = 0;
  uint32_t table_id = 0;
  int32_t writer_pid = 0;
};

struct SaveReport {
  std::string pool, file;
  uint64_t objects = 0, bytes = 0, keys = 0, next_sequence = 0;
  uint64_t retries = 0;        // copies taken again because a write came in between
  uint64_t gone = 0;           // retired between the walk and their copy
  uint64_t keys_left_out = 0;  // keys of objects not in the image (made after the walk, torn)
  std::vector<TornObject> torn;
};

// Maps the versioned pool `name`, copies each object whole and writes the
// image to a temporary file in file's folder, renamed to `file` once
// complete; progress on stderr when it takes long. Nothing, with the reason
// in `error`, when the pool cannot be mapped or the file written (no file
// left behind).
std::optional<SaveReport> save_pool(const std::string& name, const std::string& file,
                                    std::string& error);

Json save_doc(const SaveReport& report);
void print_save(std::ostream& out, const Json& doc);

// Reads the image `file`, checks it whole and makes the kept pool `name`
// from it: 0, or -1 with why in `error` (nothing made).
int restore_pool(const std::string& file, const std::string& name, Json* doc, std::string& error);
void print_restore(std::ostream& out, const Json& doc);

}  // namespace zim_inspect
