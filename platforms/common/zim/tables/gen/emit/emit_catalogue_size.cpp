// SPDX-License-Identifier: Apache-2.0
// catalogue_size.h: how many table types the catalogue holds, from which id.
#include "gen/emit/emit_catalogue_size.hpp"

#include "gen/emit/template.hpp"
#include "gen/names/names.hpp"

namespace tablegen {
namespace {

constexpr const char* kCatalogueSize = R"tpl(#ifndef ZIM_TABLES_CATALOGUE_SIZE_H
#define ZIM_TABLES_CATALOGUE_SIZE_H

/* Number of table types in the catalogue, and its first table id: the ids
 * run from ZIM_FIRST_TABLE_ID to ZIM_FIRST_TABLE_ID + ZIM_NUM_TABLE_TYPES - 1. */
#define ZIM_NUM_TABLE_TYPES $(count)u
#define ZIM_FIRST_TABLE_ID $(first)u

#endif /* ZIM_TABLES_CATALOGUE_SIZE_H */
)tpl";

}  // namespace

GeneratedFile emit_catalogue_size_header(const std::vector<TypeLayout>& types) {
  return {kCatalogueSizeHeaderFile,
          banner(CommentStyle::kBlock) +
              render(kCatalogueSize, {{"count", str(static_cast<uint32_t>(types.size()))},
                                      {"first", str(types.empty() ? 0 : types.front().table_id)}})};
}

}  // namespace tablegen
