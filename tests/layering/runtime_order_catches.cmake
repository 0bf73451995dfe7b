# SPDX-License-Identifier: Apache-2.0
# The runtime-order rule refuses each kind of breach: a tree of one file per
# breach, each of which must be named, and a clean tree, which must pass.
set(tree ${WORK}/tree)
file(REMOVE_RECURSE ${tree})
set(tables ${tree}/platforms/common/zim/tables)
file(WRITE ${tables}/codec/limits.hpp "inline constexpr uint64_t kMaxTableId = ZIM_MAX_TABLE_ID;\n")
file(WRITE ${tables}/include/zim/tables/table_id.h "#define ZIM_MAX_TABLE_ID 65535u\n")
file(WRITE ${tree}/simulator/src/alloc/alloc.cpp "#include \"codec/limits.hpp\"\n")
file(WRITE ${tree}/tools/inspect/main.cpp "#include \"gen/load/catalogue_loader.hpp\"\n")

function(run_rule expect_failure)
  execute_process(COMMAND ${CMAKE_COMMAND} -DROOT=${tree} -P ${RULE}
                  RESULT_VARIABLE status ERROR_VARIABLE output)
  if(expect_failure AND status EQUAL 0)
    message(FATAL_ERROR "the rule passed a tree that breaks it")
  elseif(NOT expect_failure AND NOT status EQUAL 0)
    message(FATAL_ERROR "the rule refused a clean tree:\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

run_rule(FALSE)

file(WRITE ${tables}/migrate/conversion.cpp "#include \"gen/read/definition.hpp\"\n")
file(WRITE ${tables}/codec/compat.cpp "#include \"gen/text/render.hpp\"\n")
file(WRITE ${tables}/gen/emit/record.cpp "  out += \"  npd_present \" + num(t.npd_present);\n")
file(WRITE ${tree}/simulator/src/attach/notes.cpp "constexpr uint32_t kMaxTableId = 65535;\n")
file(WRITE ${tree}/simulator/include/zim/sim/ids.h "#define ZIM_SIM_LAST_ID 65535u\n")
run_rule(TRUE)
foreach(expected
    "migrate/conversion.cpp includes the generator"
    "codec/compat.cpp includes outside the layout library"
    "gen/emit/record.cpp spells a layout record's line"
    "attach/notes.cpp defines a bound of the layout library again"
    "zim/sim/ids.h writes the largest table id as a number")
  string(FIND "${output}" "${expected}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the rule did not name \"${expected}\":\n${output}")
  endif()
endforeach()
