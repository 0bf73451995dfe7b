# SPDX-License-Identifier: Apache-2.0
# A build step of zim_tables_add_library(... BASELINE <manifest>): holds the
# layout manifest just generated (MANIFEST, of version VERSION) to the
# previous release's (BASELINE, whose version its file name gives:
# layout-<version>.manifest). A type whose fingerprint changed, or that is
# gone, breaks the programs of the previous release that load this library,
# unless the major version, and with it the library's SONAME, changed too.
#   cmake -DTARGET=... -DMANIFEST=... -DVERSION=... -DBASELINE=... -P <this file>

# "id name fingerprint" of every type of a manifest. Only lines of the
# manifest's own shape are read: a baseline is outside bytes, and what gets
# into a message is then digits, lower-case letters and '_'.
function(_zim_tables_fingerprints manifest out_var)
  file(STRINGS "${manifest}" lines REGEX "^(type [0-9]+ [a-z][a-z0-9_]*|  fingerprint [0-9a-f]+)$"
       LIMIT_INPUT 67108864)
  set(types)
  set(current "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^type ([0-9]+) ([a-z0-9_]+)$")
      set(current "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
    elseif(current AND line MATCHES "^  fingerprint ([0-9a-f]+)$")
      list(APPEND types "${current} ${CMAKE_MATCH_1}")
      set(current "")
    endif()
  endforeach()
  set(${out_var} "${types}" PARENT_SCOPE)
endfunction()

get_filename_component(baseline_name "${BASELINE}" NAME)
if(NOT baseline_name MATCHES "^layout-([0-9]+)[.][0-9]+[.][0-9]+[.]manifest$")
  message(FATAL_ERROR "zim_tables_add_library(${TARGET}): BASELINE ${BASELINE}: the file name "
                      "must give the release it describes, layout-<major>.<minor>.<patch>.manifest, "
                      "as the release installs it (share/<target>/layout-<version>.manifest)")
endif()
set(baseline_major ${CMAKE_MATCH_1})
string(REGEX REPLACE "[.].*$" "" major "${VERSION}")
if(major GREATER baseline_major)
  return()  # a new SONAME: programs of the baseline keep their library
endif()
if(major LESS baseline_major)
  message(FATAL_ERROR "zim_tables_add_library(${TARGET}): VERSION ${VERSION} is older than its "
                      "BASELINE ${baseline_name}: a release's major version never goes back")
endif()

_zim_tables_fingerprints("${BASELINE}" old_types)
_zim_tables_fingerprints("${MANIFEST}" new_types)
if(NOT old_types)
  message(FATAL_ERROR "zim_tables_add_library(${TARGET}): BASELINE ${BASELINE} holds no type "
                      "with a fingerprint: not a layout manifest of this version of zim_tables")
endif()
set(breaks)
foreach(old IN LISTS old_types)
  string(REPLACE " " ";" old "${old}")
  list(GET old 0 id)
  list(GET old 1 name)
  list(GET old 2 old_fingerprint)
  set(found "")
  foreach(new IN LISTS new_types)
    if(new MATCHES "^${id} ([a-z0-9_]+) ([0-9a-f]+)$")
      set(found "${CMAKE_MATCH_2}")
    endif()
  endforeach()
  if(NOT found)
    string(CONCAT item "type ${name} (table id ${id}) is gone (fingerprint ${old_fingerprint} "
                       "in ${baseline_name})")
    list(APPEND breaks "${item}")
  elseif(NOT found STREQUAL old_fingerprint)
    string(CONCAT item "type ${name} (table id ${id}) has fingerprint ${found}, "
                       "${baseline_name} ${old_fingerprint}")
    list(APPEND breaks "${item}")
  endif()
endforeach()
if(breaks)
  list(JOIN breaks "; " breaks)
  math(EXPR next "${baseline_major} + 1")
  message(FATAL_ERROR "zim_tables_add_library(${TARGET}): VERSION ${VERSION} keeps the major "
                      "version of its BASELINE ${baseline_name}, but its layouts break that "
                      "release's programs: ${breaks}. Programs of the baseline would load this "
                      "library as theirs (lib${TARGET}.so.${major}) and make objects their layout "
                      "does not describe. Raise the major version (VERSION ${next}.0.0), or put "
                      "the layouts back (zim_tablegen --compat ${baseline_name} DEFS_DIR names "
                      "every breaking change).")
endif()
