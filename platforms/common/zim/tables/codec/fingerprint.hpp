// SPDX-License-Identifier: Apache-2.0
// The fingerprint of a type's layout: a hash of every fact that decides which
// bytes processes sharing its objects read and copy, and of nothing else, so
// that two layouts share a fingerprint exactly when --compat finds nothing
// breaking between them. Pools record it with each type's objects and
// programs carry it in their layout notes (zim/tables/layout_note.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/model.hpp"

namespace zim_codec {

// The version of the canonical text; a new one changes every fingerprint.
constexpr uint32_t kFingerprintVersion = 1;

// The canonical text the fingerprint hashes: type name and id, class, count,
// switches, fixed size, header, each inline field on its own line (a run
// expanded into its fields), each array, npd_present and the dynamic order.
// Field names, comments, trace identifiers and check lines are left out.
std::string fingerprint_text(const TypeLayout& type);

// 64-bit FNV-1a of fingerprint_text.
uint64_t layout_fingerprint(const TypeLayout& type);

// A fingerprint as 16 lower-case hex digits.
std::string fingerprint_hex(uint64_t fingerprint);

// The fingerprint that 16 lower-case hex digits spell; nothing for any other
// text.
std::optional<uint64_t> read_fingerprint_hex(std::string_view text);

}  // namespace zim_codec
