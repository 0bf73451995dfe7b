// Text renderings of what layout, decode and pool found; --json prints the
// same documents as JSON instead.
#pragma once

#include <ostream>

#include "decode.hpp"

namespace zim_inspect {

void print_layout(std::ostream& out, const json& layout);
void print_object(std::ostream& out, const json& object);
void print_pool(std::ostream& out, const json& pool);

}  // namespace zim_inspect
