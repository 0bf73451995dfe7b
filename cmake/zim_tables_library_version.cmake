# SPDX-License-Identifier: Apache-2.0
# The versions of a library that zim_tables_add_library builds, a part of
# zim_tables_add_library.cmake (which includes it and sets
# _ZIM_TABLES_MODULE_DIR). VERSION <major>.<minor>.<patch> names the library
# lib<target>.so.<major>; BASELINE names the previous release's layout
# manifest as it installs it, share/<target>/layout-<version>.manifest, whose
# file name gives that release's version.

# Checks VERSION and BASELINE when the project is configured: <major_var> is
# the major version, <baseline_var> the baseline's absolute path (empty for
# none).
function(_zim_tables_check_version target version baseline_arg major_var baseline_var)
  if(NOT version MATCHES "^(0|[1-9][0-9]*)[.](0|[1-9][0-9]*)[.](0|[1-9][0-9]*)$")
    message(FATAL_ERROR "zim_tables_add_library(${target}): VERSION ${version}: give "
                        "<major>.<minor>.<patch> (e.g. 2.1.0); the major names the library "
                        "(lib${target}.so.<major>)")
  endif()
  set(${major_var} ${CMAKE_MATCH_1} PARENT_SCOPE)
  set(baseline "")
  if(baseline_arg)
    get_filename_component(baseline "${baseline_arg}" ABSOLUTE
                           BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(baseline_name "${baseline}" NAME)
    if(NOT EXISTS "${baseline}" OR IS_DIRECTORY "${baseline}")
      message(FATAL_ERROR "zim_tables_add_library(${target}): BASELINE ${baseline}: no such file")
    elseif(NOT baseline_name MATCHES "^layout-[0-9]+[.][0-9]+[.][0-9]+[.]manifest$")
      message(FATAL_ERROR "zim_tables_add_library(${target}): BASELINE ${baseline}: the file "
                          "name must give the release it describes, "
                          "layout-<major>.<minor>.<patch>.manifest, as the release installs it "
                          "(share/${target}/layout-<version>.manifest)")
    endif()
  endif()
  set(${baseline_var} "${baseline}" PARENT_SCOPE)
endfunction()

# The build step that holds the generated manifest to the baseline
# (zim_tables_check_baseline.cmake), after generation: <stamp>_baseline.stamp.
function(_zim_tables_baseline_step target stamp manifest version baseline)
  get_filename_component(baseline_name "${baseline}" NAME)
  add_custom_command(
    OUTPUT "${stamp}_baseline.stamp"
    COMMAND "${CMAKE_COMMAND}" -DTARGET=${target} "-DMANIFEST=${manifest}" -DVERSION=${version}
            "-DBASELINE=${baseline}" -P "${_ZIM_TABLES_MODULE_DIR}/zim_tables_check_baseline.cmake"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}_baseline.stamp"
    DEPENDS "${stamp}.stamp" "${baseline}" "${_ZIM_TABLES_MODULE_DIR}/zim_tables_check_baseline.cmake"
    COMMENT "Holding the layouts of ${target} ${version} to ${baseline_name}"
    VERBATIM)
endfunction()
