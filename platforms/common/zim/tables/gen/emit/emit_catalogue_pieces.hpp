// SPDX-License-Identifier: Apache-2.0
// What the catalogue holds of one type, as named definitions in the type's
// own namespace (of_<type>) that the table of types refers to: its layout
// arrays with each field's accessors, and its thirteen operations behind one
// signature for every type with its snapshot. Units that compile the
// catalogue in parts each define some of them; the table's unit declares
// them all.
#pragma once

#include <string>

#include "gen/read/definition.hpp"

namespace tablegen {

// The namespace that holds a type's pieces.
std::string catalogue_namespace(const TypeLayout& type);

// Declarations of every piece of the type, for the table's unit.
std::string catalogue_declarations(const TypeLayout& type);

// Definitions of the layout arrays with each field's accessors.
std::string catalogue_layouts(const TypeLayout& type);

// Definitions of the operations and the snapshot.
std::string catalogue_operations(const TypeLayout& type);

// The operations as the table's entry lists them: {of_<type>::fix_ptrs, ...}.
std::string catalogue_operation_list(const TypeLayout& type);

}  // namespace tablegen
