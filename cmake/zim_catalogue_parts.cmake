# SPDX-License-Identifier: Apache-2.0
# The units that compile the generated catalogue (zim_tables_catalogue.cpp)
# in parts, which build side by side rather than as one long step:
#   zim_catalogue_parts(<out_var> CATALOGUE <file> FOLDER <folder>
#                       PIECES <1|2|4> [SLICES <n>])
# writes to FOLDER one unit per slice that includes CATALOGUE with what that
# part holds (PIECES: 1 the table of types, 2 the types' layouts and
# accessors, 4 their operations and snapshots) for the types of its slice, and sets
# out_var to their paths. A unit is rewritten only when its text changes.
function(zim_catalogue_parts out_var)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "CATALOGUE;FOLDER;PIECES;SLICES" "")
  if(NOT arg_SLICES)
    set(arg_SLICES 1)
  endif()
  set(names 1 table 2 layouts 4 operations)
  list(FIND names ${arg_PIECES} at)
  if(at EQUAL -1 OR NOT arg_SLICES GREATER 0)
    message(FATAL_ERROR "zim_catalogue_parts: PIECES 1, 2 or 4 and SLICES above 0, "
                        "not ${arg_PIECES} and ${arg_SLICES}")
  endif()
  math(EXPR at "${at} + 1")
  list(GET names ${at} name)
  set(units)
  math(EXPR last "${arg_SLICES} - 1")
  foreach(slice RANGE ${last})
    set(unit ${arg_FOLDER}/catalogue_${name}_${slice}.cpp)
    file(CONFIGURE OUTPUT ${unit} CONTENT
"// Part of the catalogue: its ${name}, types ${slice} modulo ${arg_SLICES}.
#define ZIM_TABLES_CATALOGUE_PIECES ${arg_PIECES}
#define ZIM_TABLES_CATALOGUE_SLICES ${arg_SLICES}
#define ZIM_TABLES_CATALOGUE_SLICE ${slice}
#include \"${arg_CATALOGUE}\"
")
    list(APPEND units ${unit})
  endforeach()
  set(${out_var} ${units} PARENT_SCOPE)
endfunction()
