# SPDX-License-Identifier: Apache-2.0
# The runtime's dependencies point one way, and what the layout library owns
# is defined there once. Run as a step of the build and as a test, with ROOT
# the source tree:
#   1. no source of the runtime (the pool, the converter, the inspector's
#      core, the relay) includes the generator (gen/); the inspector's
#      command line may, for the generator's loader of a folder of
#      definitions;
#   2. the layout library (codec/) includes only itself and public headers;
#   3. a record line is spelt only by the layout library: no string literal
#      elsewhere opens with a record's indented key ("  npd_present ...");
#   4. each constant the layout library's headers define (its bounds) is
#      defined nowhere else, and the largest table id is written as a number
#      only in zim/tables/table_id.h.
set(tables platforms/common/zim/tables)
set(problems "")

file(GLOB_RECURSE runtime RELATIVE ${ROOT}
  ${ROOT}/${tables}/codec/*.?pp ${ROOT}/${tables}/migrate/*.?pp
  ${ROOT}/simulator/*.?pp ${ROOT}/simulator/*.h ${ROOT}/tools/inspect/*.?pp
  ${ROOT}/tools/relay/*.?pp)
list(REMOVE_ITEM runtime tools/inspect/main.cpp tools/inspect/command_line.cpp)
foreach(source ${runtime})
  file(STRINGS ${ROOT}/${source} lines REGEX "^#include \"gen/")
  foreach(line ${lines})
    string(APPEND problems "\n  ${source} includes the generator: ${line}")
  endforeach()
endforeach()

file(GLOB codec RELATIVE ${ROOT} ${ROOT}/${tables}/codec/*.?pp)
foreach(source ${codec})
  file(STRINGS ${ROOT}/${source} lines REGEX "^#include \"")
  foreach(line ${lines})
    if(NOT line MATCHES "^#include \"codec/")
      string(APPEND problems "\n  ${source} includes outside the layout library: ${line}")
    endif()
  endforeach()
endforeach()

set(record_keys "fingerprint|class|fixed_size|count_param|size_check|obj_flags_bit5|header|field|array|npd_present|dynamic|check|wisp")
# The bounds: every constant the layout library's headers define.
set(bound_names "")
foreach(source ${codec})
  file(STRINGS ${ROOT}/${source} lines REGEX "^inline constexpr [^=]* k[A-Za-z]+ =")
  foreach(line ${lines})
    string(REGEX REPLACE ".* (k[A-Za-z]+) =.*" "\\1" name "${line}")
    list(APPEND bound_names ${name})
  endforeach()
endforeach()
list(JOIN bound_names "|" bound_names)
file(GLOB_RECURSE sources RELATIVE ${ROOT}
  ${ROOT}/${tables}/gen/*.?pp ${ROOT}/${tables}/migrate/*.?pp ${ROOT}/${tables}/include/*.h
  ${ROOT}/simulator/*.?pp ${ROOT}/simulator/*.h ${ROOT}/tools/*.?pp ${ROOT}/tools/*.h*)
foreach(source ${sources})
  file(STRINGS ${ROOT}/${source} lines REGEX "\"  (${record_keys}) ")
  foreach(line ${lines})
    string(APPEND problems "\n  ${source} spells a layout record's line: ${line}")
  endforeach()
  file(STRINGS ${ROOT}/${source} lines
       REGEX "(constexpr[^=]*[ :](${bound_names}) *=|#define +(${bound_names}) )")
  foreach(line ${lines})
    string(APPEND problems "\n  ${source} defines a bound of the layout library again: ${line}")
  endforeach()
  if(NOT source MATCHES "zim/tables/table_id.h$")
    file(STRINGS ${ROOT}/${source} lines REGEX "(#define|constexpr|=).*[^0-9]65535u?([^0-9]|$)")
    foreach(line ${lines})
      string(APPEND problems "\n  ${source} writes the largest table id as a number: ${line}")
    endforeach()
  endif()
endforeach()

if(NOT runtime OR NOT codec OR NOT sources)
  message(FATAL_ERROR "runtime order: no sources found under ${ROOT}")
endif()
if(problems)
  message(FATAL_ERROR "runtime order broken:${problems}")
endif()
