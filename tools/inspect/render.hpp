// SPDX-License-Identifier: Apache-2.0
// Text renderings of what layout, decode, pool, history and types found; --json prints the
// same documents as JSON instead.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "decode.hpp"

namespace zim_inspect {

// Text from outside (a manifest, a file, the command line, a pool's name)
// with whatever a terminal would act on shown as \xNN, as the generator shows
// definitions; cut only past 16 MiB.
std::string printable(std::string_view text);

void print_layout(std::ostream& out, const Json& layout);
// What decode reads, printed as it comes: text, or one JSON document laid out
// as the other subcommands' (Json::dump with an indent of 2).
std::unique_ptr<ObjectWriter> object_writer(std::ostream& out, bool as_json);
void print_pool(std::ostream& out, const Json& pool);
// The migrations and superseded layouts that history rebuilt.
void print_history(std::ostream& out, const Json& history);
void print_types(std::ostream& out, const Json& types);

}  // namespace zim_inspect
