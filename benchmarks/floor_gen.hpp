// SPDX-License-Identifier: Apache-2.0
// The floors of the constructor, the data copy and the copy constructor
// (floor_gen.cpp): what every such operation of a type must do, written out
// from its field list as tightly as plain C allows.
#ifndef ZIM_BENCHMARKS_FLOOR_GEN_HPP
#define ZIM_BENCHMARKS_FLOOR_GEN_HPP

#include <cstdio>

#include "zim/tables/catalogue.hpp"

namespace zim_bench {

namespace cat = zim_tables::catalogue;

// The parameter list of an operation that takes the count in a counted type
// and nothing in the others, as the library's own prototypes do.
const char* count_parameter(const cat::TableType& t);

// The start of the floors' file: its includes and helpers.
extern const char* const kFloorPrologue;

// sf_<type>_ctor_floor, sf_<type>_read_floor and sf_<type>_copy_floor, with
// the inline bodies they share.
void emit_floors(std::FILE* out, const cat::TableType& t);

// The data copy floor's arrays (floor_array_gen.cpp): its out-of-line copy
// array by array, then the moves inside the floor's body.
void emit_floor_array_helpers(std::FILE* out, const cat::TableType& t);
void emit_floor_array_moves(std::FILE* out, const cat::TableType& t);

// Their prototypes, for the straightforward build's table of operations.
void emit_floor_declarations(std::FILE* out, const cat::TableType& t);

}  // namespace zim_bench

#endif  // ZIM_BENCHMARKS_FLOOR_GEN_HPP
