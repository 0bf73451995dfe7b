# SPDX-License-Identifier: Apache-2.0
# The output list of zim_tables_add_library's in-tree rule against
# zim_tablegen --list-outputs, for each folder of DEFS and for a copy of the
# last one without its last definition, whose two files must leave the list.
# usage: cmake -DTABLEGEN=... -DMODULE=... -DDEFS="dir|..." -DWORK=dir -P list_outputs.cmake
include("${MODULE}")

function(expect_same_outputs defs out_var)
  file(GLOB tdefs "${defs}/*.tdef")
  _zim_tables_outputs_by_rule(by_rule ${tdefs})
  execute_process(COMMAND "${TABLEGEN}" --list-outputs "${defs}" OUTPUT_VARIABLE listed
                  RESULT_VARIABLE failed)
  string(REGEX REPLACE "\n$" "" listed "${listed}")
  string(REPLACE "\n" ";" listed "${listed}")
  list(SORT by_rule)
  list(SORT listed)
  if(failed OR NOT by_rule STREQUAL listed)
    message(FATAL_ERROR "${defs}: the rule gives\n  ${by_rule}\nzim_tablegen lists\n  ${listed}")
  endif()
  set(${out_var} "${listed}" PARENT_SCOPE)
endfunction()

string(REPLACE "|" ";" DEFS "${DEFS}")
foreach(defs IN LISTS DEFS)
  expect_same_outputs("${defs}" all)
endforeach()

list(GET DEFS -1 defs)
file(REMOVE_RECURSE "${WORK}")
file(COPY "${defs}/" DESTINATION "${WORK}")
file(GLOB tdefs "${WORK}/*.tdef")
list(SORT tdefs)
list(POP_BACK tdefs last)
file(REMOVE "${last}")
expect_same_outputs("${WORK}" fewer)
_zim_tables_outputs_by_rule(gone "${last}")
list(REMOVE_ITEM all ${fewer})
list(SUBLIST gone 0 2 gone)
list(SORT gone)
if(NOT all STREQUAL gone)
  message(FATAL_ERROR "removing ${last} took away ${all}")
endif()
file(REMOVE_RECURSE "${WORK}")
