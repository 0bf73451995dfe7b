// SPDX-License-Identifier: Apache-2.0
// What migrating the objects of a type from one layout to another does, and
// the changes no migration carries: the rules --compat states and the
// converter of objects follows, in one place.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codec/field_pairing.hpp"
#include "codec/model.hpp"

namespace zim_codec {

struct MigrationPlan {
  std::vector<FieldPair> fields;      // pair_fields(older, newer)
  std::vector<std::string> refusals;  // empty: every object of older can become one of newer
  std::vector<std::string> dropped;   // removed fields, as the migration report lists them
  bool changed = false;               // fingerprints differ (objects must be converted)
};

// Plans converting objects of `older` into objects of `newer`, two layouts
// of one table id. Each refusal is one line, "NAME (table id N): what
// changed: the rule it breaks"; each dropped field "field N 'name' OFF:W"
// (N its number in older, no name for an unnamed one).
MigrationPlan plan_migration(const TypeLayout& older, const TypeLayout& newer);

// The changes no migration carries.
enum class Uncarried {
  kNarrowed,         // a field, a run's fields or an array's elements got narrower
  kRunShortened,     // a run has fewer fields
  kArrayKind,        // a per-NPU array became counted, or back
  kInlineArray,      // an inline field became an array, or back
  kHeaderShape,      // the type header's fields changed
  kClassChanged,     // the variant class changed
  kCountChanged,     // the count field changed
  kTableIdChanged,   // the type's table id changed
  kIdToAnotherType,  // the table id now names another type
  kTypeRemoved,      // the type is gone
  kUnnamedChanged,   // fields paired by number changed, or one was removed
};

// The rule a change breaks, as refusals and --compat's "not migrated" lines
// end: "a narrowed field or element cannot carry every value".
const char* uncarried_text(Uncarried change);

// For one pair of fields: nothing when a migration carries what changed
// between them (or nothing did), else the rule the change breaks.
std::optional<Uncarried> uncarried_change(const FieldPair& pair);

}  // namespace zim_codec
