// SPDX-License-Identifier: Apache-2.0
// The layout rules every type's layout keeps, whoever states it (a
// definition, a manifest, a layout record read from a pool or a program):
// a 2-to-5-field type header after the base header, data fields in order
// without overlap and with only alignment padding between them, inside the
// largest fixed part, the flag area and fixed size that follow from them,
// a dynamic area whose positions fit 32 bits, and the fields and switches
// its class takes.
#pragma once

#include <vector>

#include "codec/model.hpp"
#include "codec/report.hpp"

namespace zim_codec {

// Reports a type name of another shape than names.hpp gives; false then.
bool check_type_name(const TypeFacts& facts, const Report& fail);

// Reports field names of another shape, or given twice; false then.
bool check_field_names(const std::vector<FieldItem>& fields, const Report& fail);

// Reports, through fail, every rule the layout breaks, at the lines of its
// facts and fields.
void check_layout_rules(const TypeFacts& facts, const std::vector<FieldItem>& fields,
                        const Report& fail);

}  // namespace zim_codec
