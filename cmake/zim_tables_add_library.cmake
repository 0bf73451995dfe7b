# SPDX-License-Identifier: Apache-2.0
# zim_tables_add_library(<target> DEFINITIONS <dir> VERSION <major.minor.patch>
#                        [BASELINE <dir>/layout-<version>.manifest] [OUTPUT_DIR <dir>]
#                        [PLATFORM <target>...] [ALLOW_PLATFORM_NAMES]
#                        [VERSION_OF <library>] [INSTALL])
#
# Builds the shared library <target> from a folder of table type definitions
# (<dir>/NNN_<type>.tdef, ids contiguous from the first file's number) with
# zim_tables::zim_tablegen and the operation templates of
# zim_tables::templates, as libzim_tables itself is built: the definitions are
# checked in a step of their own, then generated into OUTPUT_DIR (default:
# <current binary dir>/<target>_generated, owned by the generator and by no
# other library), both again whenever a definition or the folder's listing
# changes (hidden files, such as an editor's lock files, are not definitions),
# compiled with -fno-exceptions -fno-rtti, without semantic interposition or
# PLT stubs and with hidden visibility, and linked with the generated version
# script so that only the thirteen operations of each type are exported.
#
# A type named as one of the platform's own types (those of the layout
# manifest installed with zim_tables) is refused: both libraries would export
# qor_<type>_* and both would give <zim/tables/<type>.h>; so is a catalogue
# whose ids meet the platform's. ALLOW_PLATFORM_NAMES says the caller knows,
# e.g. for a library that replaces the platform's. Two libraries of one
# project with a type of one name are refused likewise, unless one is
# VERSION_OF the other: another version of the same catalogue (its types, some
# of another layout), built for programs that link one version only, such as
# a server and its successor that adopts the old one's pool.
#
# VERSION names the library lib<target>.so.<major>; BASELINE fails the build
# on a layout change within a major version (zim_tables_library_version.cmake).
#
# Defines the targets
#   <target>            the library; linking it gives <zim/tables/<type>.h>,
#                       this catalogue's all_tables.h and catalogue_size.h, and
#                       the platform libraries (PLATFORM, default
#                       zim_tables::platform)
#   <target>_generated  the generation step
#   <target>_headers    the generated headers alone (INTERFACE)
# and sets the property ZIM_TABLES_GENERATED_DIR of <target> to OUTPUT_DIR,
# which also holds zim_tables.manifest (the layout manifest) and
# zim_tables_catalogue.cpp.
#
# INSTALL adds install rules, relative to the prefix, for the library, its
# headers (include/<target>/), its manifest (share/<target>/layout.manifest,
# and as layout-<version>.manifest for the next release's BASELINE),
# the CMake package <target> (<target>::<target>, which brings zim_tables'
# headers and platform) and <target>.pc (which requires zim_tables). The
# PLATFORM targets must then be installed ones.

# The platform's library folder, relative to its prefix and absolute, where
# the installed package's config includes this file from
# <libdir>/cmake/zim_tables: an installed library of one's own finds the
# platform libraries through its RUNPATH in a shared prefix or its own.
if(DEFINED PACKAGE_PREFIX_DIR AND CMAKE_CURRENT_LIST_DIR MATCHES "/cmake/zim_tables$")
  get_filename_component(_ZIM_TABLES_PLATFORM_LIBDIR_ABSOLUTE "${CMAKE_CURRENT_LIST_DIR}/../.."
                         ABSOLUTE)
  file(RELATIVE_PATH _ZIM_TABLES_PLATFORM_LIBDIR "${PACKAGE_PREFIX_DIR}"
       "${_ZIM_TABLES_PLATFORM_LIBDIR_ABSOLUTE}")
endif()
set(_ZIM_TABLES_MODULE_DIR "${CMAKE_CURRENT_LIST_DIR}")
include("${CMAKE_CURRENT_LIST_DIR}/zim_tables_library_install.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/zim_tables_library_version.cmake")

# The type names and table ids of the platform's manifest: the installed one
# (set by zim_tablesConfig.cmake), or the one of a zim_tables built in the
# same tree. <out_var>_FIRST and _LAST are its lowest and highest ids.
function(_zim_tables_platform_types out_var)
  set(manifest "${ZIM_TABLES_PLATFORM_MANIFEST}")
  if(NOT manifest)
    get_property(manifest GLOBAL PROPERTY ZIM_TABLES_PLATFORM_MANIFEST)
  endif()
  set(records)
  set(ids)
  if(manifest)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${manifest}")
    file(STRINGS "${manifest}" records REGEX "^type [0-9]+ [a-z][a-z0-9_]*$")
    set(ids "${records}")
    list(TRANSFORM records REPLACE "^type [0-9]+ " "")
    list(TRANSFORM ids REPLACE "^type ([0-9]+) .*$" "\\1")
    list(SORT ids COMPARE NATURAL)
  endif()
  set(${out_var} "${records}" PARENT_SCOPE)
  set(${out_var}_MANIFEST "${manifest}" PARENT_SCOPE)
  if(ids)
    list(GET ids 0 first)
    list(GET ids -1 last)
    set(${out_var}_FIRST ${first} PARENT_SCOPE)
    set(${out_var}_LAST ${last} PARENT_SCOPE)
  endif()
endfunction()

# The type name of a definition file, NNN_<type>.tdef (the generator's
# definition_file_name): the one rule by which this module names a
# definition's outputs before the generator has read it.
function(_zim_tables_type_of def out_var)
  get_filename_component(stem "${def}" NAME_WE)
  string(REGEX REPLACE "^[0-9]+_" "" type "${stem}")
  set(${out_var} "${type}" PARENT_SCOPE)
endfunction()

# What the generator writes for these definitions, relative to its output
# folder, as zim_tablegen --list-outputs prints it: one unit and one header per
# type, the umbrella and catalogue-size headers, the version script, catalogue
# and manifest. A test holds it equal to --list-outputs.
function(_zim_tables_outputs_by_rule out_var)
  set(files)
  foreach(def IN LISTS ARGN)
    _zim_tables_type_of("${def}" type)
    list(APPEND files "src/vesk-autogensrc/${type}_common_utils.cpp"
                      "include/zim/tables/${type}.h")
  endforeach()
  list(APPEND files include/zim/tables/all_tables.h include/zim/tables/catalogue_size.h
                    zim_tables.map zim_tables_catalogue.cpp zim_tables.manifest)
  set(${out_var} "${files}" PARENT_SCOPE)
endfunction()

# The outputs as the generator itself lists them, where it exists before the
# build (the installed package's): read again whenever a definition changes,
# so that an edit that renames a type reconfigures. Where it fails (an invalid
# definition), the rule stands in and the build's check step reports why.
function(_zim_tables_outputs out_var defs)
  _zim_tables_outputs_by_rule(files ${ARGN})
  get_target_property(imported zim_tables::zim_tablegen IMPORTED)
  if(imported)
    get_target_property(tablegen zim_tables::zim_tablegen IMPORTED_LOCATION)
    get_target_property(configs zim_tables::zim_tablegen IMPORTED_CONFIGURATIONS)
    foreach(config IN LISTS configs)
      if(NOT tablegen)
        get_target_property(tablegen zim_tables::zim_tablegen IMPORTED_LOCATION_${config})
      endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARGN})
    execute_process(COMMAND "${tablegen}" --list-outputs "${defs}" RESULT_VARIABLE failed
                    OUTPUT_VARIABLE listed ERROR_QUIET)
    if(NOT failed)
      string(REGEX REPLACE "\n$" "" listed "${listed}")
      string(REPLACE "\n" ";" files "${listed}")
    endif()
  endif()
  set(${out_var} "${files}" PARENT_SCOPE)
endfunction()

# One project, one owner per type name and per output folder: two libraries
# with a type of one name would both export qor_<type>_* and both give
# <zim/tables/<type>.h>, and a target that sees both gets whichever header its
# include path finds first; two generators in one folder replace each other's
# files. A platform type's name is refused unless ALLOW_PLATFORM_NAMES says
# that the library stands in for the platform's, and may then be shared.
# Versions of one catalogue (VERSION_OF) share the names of the first.
function(_zim_tables_claim_names target out allow_platform_names version_of)
  get_property(claimed GLOBAL PROPERTY _ZIM_TABLES_OUTPUT_DIRS)
  foreach(entry IN LISTS claimed)
    string(REGEX REPLACE "^([^|]*)[|](.*)$" "\\1" other "${entry}")
    string(REGEX REPLACE "^([^|]*)[|](.*)$" "\\2" other_out "${entry}")
    cmake_path(IS_PREFIX other_out "${out}" NORMALIZE inside_other)
    cmake_path(IS_PREFIX out "${other_out}" NORMALIZE holds_other)
    if(inside_other OR holds_other)
      message(FATAL_ERROR "zim_tables_add_library(${target}): OUTPUT_DIR ${out} meets the "
                          "output folder of ${other} (${other_out}): the generator owns its "
                          "folder and replaces it as a whole on every run. Give each library "
                          "a folder of its own.")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY _ZIM_TABLES_OUTPUT_DIRS "${target}|${out}")

  _zim_tables_platform_types(platform_types)
  foreach(def IN LISTS ARGN)
    _zim_tables_type_of("${def}" type)
    if(type IN_LIST platform_types AND NOT allow_platform_names)
      message(FATAL_ERROR "zim_tables_add_library(${target}): table type ${type} (${def}) "
                          "is a type of the platform (${platform_types_MANIFEST}): both "
                          "libraries would export qor_${type}_* and give "
                          "<zim/tables/${type}.h>. Rename the type, or pass "
                          "ALLOW_PLATFORM_NAMES if this library is meant to stand in for the "
                          "platform's.")
    endif()
    get_property(owner GLOBAL PROPERTY "_ZIM_TABLES_TYPE_${type}")
    if(owner)
      list(GET owner 0 other)
      list(GET owner 1 other_def)
      set(sharing FALSE)
      if(version_of)
        _zim_tables_first_version(${version_of} first)
        _zim_tables_first_version(${other} other_first)
        if(first STREQUAL other_first)
          set(sharing TRUE)
        endif()
      endif()
      if(NOT sharing AND NOT (type IN_LIST platform_types AND allow_platform_names))
        message(FATAL_ERROR "zim_tables_add_library(${target}): table type ${type} (${def}) "
                            "is also a type of ${other} (${other_def}): both libraries would "
                            "export qor_${type}_* and give <zim/tables/${type}.h>, and a "
                            "target that links both would get one type's header for both. "
                            "Rename one of the types, or pass VERSION_OF ${other} if this "
                            "library is another version of its catalogue.")
      endif()
    else()
      set_property(GLOBAL PROPERTY "_ZIM_TABLES_TYPE_${type}" "${target};${def}")
    endif()
  endforeach()
endfunction()

# The library whose versions a library's catalogue continues: the first of
# its VERSION_OF chain.
function(_zim_tables_first_version target out_var)
  set(first ${target})
  get_target_property(earlier ${first} ZIM_TABLES_VERSION_OF)
  while(earlier)
    set(first ${earlier})
    get_target_property(earlier ${first} ZIM_TABLES_VERSION_OF)
  endwhile()
  set(${out_var} ${first} PARENT_SCOPE)
endfunction()

# The platform keys everything it keeps for a type (NPD size, part of the
# pool, table properties record, the pool's layout record) by table id alone,
# and objects store only the id: a catalogue whose ids meet the platform's
# would share all of that with the platform's types of those ids. The ids are
# the definition files' numbers (contiguous from the first, as the generator
# holds them); a library that stands in for the platform's keeps its ids.
function(_zim_tables_check_ids target defs allow_platform)
  set(numbers)
  foreach(def IN LISTS ARGN)
    get_filename_component(stem "${def}" NAME_WE)
    if(stem MATCHES "^0*([0-9]+)_")
      list(APPEND numbers ${CMAKE_MATCH_1})
    endif()
  endforeach()
  _zim_tables_platform_types(platform)
  if(NOT numbers OR NOT DEFINED platform_FIRST OR allow_platform)
    return()
  endif()
  list(SORT numbers COMPARE NATURAL)
  list(GET numbers 0 first)
  list(GET numbers -1 last)
  if(first LESS_EQUAL platform_LAST AND last GREATER_EQUAL platform_FIRST)
    math(EXPR next "${platform_LAST} + 1")
    message(FATAL_ERROR "zim_tables_add_library(${target}): table ids ${first} to ${last} "
                        "(${defs}) overlap the platform's table ids ${platform_FIRST} to "
                        "${platform_LAST} (${platform_MANIFEST}): the platform keeps NPD "
                        "sizes, pool parts, table properties and layout records by table id "
                        "alone, so both catalogues' types would share them. Number the first "
                        "definition ${next} or above (e.g. 1000_<type>.tdef), or pass "
                        "ALLOW_PLATFORM_NAMES if this library is meant to stand in for the "
                        "platform's.")
  endif()
endfunction()

function(zim_tables_add_library target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "ALLOW_PLATFORM_NAMES;INSTALL"
                        "DEFINITIONS;VERSION;BASELINE;OUTPUT_DIR;VERSION_OF" "PLATFORM")
  if(NOT arg_DEFINITIONS OR NOT arg_VERSION OR arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zim_tables_add_library(${target}): usage: zim_tables_add_library("
                        "<target> DEFINITIONS <dir> VERSION <major.minor.patch> "
                        "[BASELINE <dir>/layout-<version>.manifest] [OUTPUT_DIR <dir>] "
                        "[PLATFORM <target>...] [ALLOW_PLATFORM_NAMES] [VERSION_OF <library>] "
                        "[INSTALL])")
  endif()
  _zim_tables_check_version(${target} "${arg_VERSION}" "${arg_BASELINE}" major baseline)
  if(arg_VERSION_OF)
    if(NOT TARGET ${arg_VERSION_OF})
      message(FATAL_ERROR "zim_tables_add_library(${target}): VERSION_OF ${arg_VERSION_OF}: no "
                          "such target; add the earlier version's library first")
    endif()
    get_target_property(earlier_dir ${arg_VERSION_OF} ZIM_TABLES_GENERATED_DIR)
    if(NOT earlier_dir)
      message(FATAL_ERROR "zim_tables_add_library(${target}): VERSION_OF ${arg_VERSION_OF} is "
                          "no library of table definitions (zim_tables_add_library)")
    endif()
  endif()
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT CXX IN_LIST languages)
    message(FATAL_ERROR "zim_tables_add_library(${target}): the generated units are C++17; "
                        "enable CXX in project()")
  endif()
  foreach(needed zim_tables::zim_tablegen zim_tables::templates)
    if(NOT TARGET ${needed})
      message(FATAL_ERROR "zim_tables_add_library(${target}): no target ${needed}; "
                          "use find_package(zim_tables) or add_subdirectory first")
    endif()
  endforeach()
  if(NOT arg_PLATFORM)
    set(arg_PLATFORM zim_tables::platform)
  endif()

  get_filename_component(defs "${arg_DEFINITIONS}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  # The entries the generator reads (*.tdef) or refuses (NNN_name.ext),
  # hidden ones left out as the generator leaves them out. The check's verdict
  # depends on the listing as much as on the files: a removed or misnamed
  # definition changes no remaining file's time, so the listing is a file of
  # its own, rewritten when the folder's entries change.
  file(GLOB entries CONFIGURE_DEPENDS RELATIVE "${defs}" "${defs}/*.tdef" "${defs}/[0-9]*_*.*")
  list(FILTER entries EXCLUDE REGEX "^[.]")
  list(FILTER entries INCLUDE REGEX "[.]tdef$|^[0-9]+_[^.]*[.][a-z]+$")
  list(REMOVE_DUPLICATES entries)
  list(SORT entries)
  set(tdefs "${entries}")
  list(FILTER tdefs INCLUDE REGEX "[.]tdef$")
  list(TRANSFORM tdefs PREPEND "${defs}/")
  if(NOT tdefs)
    message(FATAL_ERROR "zim_tables_add_library(${target}): no *.tdef files in ${defs}")
  endif()
  set(listing "${CMAKE_CURRENT_BINARY_DIR}/${target}_tablegen_listing.txt")
  list(JOIN entries "\n" listed)
  set(listed "${defs}\n${listed}\n")
  set(previous "")
  if(EXISTS "${listing}")
    file(READ "${listing}" previous)
  endif()
  if(NOT previous STREQUAL listed)
    file(WRITE "${listing}" "${listed}")
  endif()
  set(out "${arg_OUTPUT_DIR}")
  if(NOT out)
    set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_generated")
  endif()
  get_filename_component(out "${out}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_BINARY_DIR}")
  _zim_tables_claim_names(${target} "${out}" "${arg_ALLOW_PLATFORM_NAMES}" "${arg_VERSION_OF}"
                          ${tdefs})
  _zim_tables_check_ids(${target} "${defs}" "${arg_ALLOW_PLATFORM_NAMES}" ${tdefs})

  # What the generator writes; the library's units are those under src/.
  _zim_tables_outputs(files "${defs}" ${tdefs})
  set(units "${files}")
  list(FILTER units INCLUDE REGEX "^src/")
  list(TRANSFORM units PREPEND "${out}/")
  list(TRANSFORM files PREPEND "${out}/")
  set(map "${out}/zim_tables.map")

  # The generator: a target of this build (through its alias) or imported.
  get_target_property(tablegen zim_tables::zim_tablegen ALIASED_TARGET)
  if(NOT tablegen)
    set(tablegen zim_tables::zim_tablegen)
  endif()
  set(stamp "${CMAKE_CURRENT_BINARY_DIR}/${target}_tablegen")
  add_custom_command(
    OUTPUT "${stamp}_check.stamp"
    COMMAND "$<TARGET_FILE:zim_tables::zim_tablegen>" --check "${defs}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}_check.stamp"
    DEPENDS ${tablegen} ${tdefs} "${listing}"
    COMMENT "Checking the table type definitions in ${defs}"
    VERBATIM)
  add_custom_command(
    OUTPUT "${stamp}.stamp"
    BYPRODUCTS ${files}
    COMMAND "$<TARGET_FILE:zim_tables::zim_tablegen>" "${defs}" "${out}"
    COMMAND "${CMAKE_COMMAND}" -E touch "${stamp}.stamp"
    DEPENDS "${stamp}_check.stamp"
    COMMENT "Generating the table units of ${target} from ${defs}"
    VERBATIM)
  set(generated "${stamp}.stamp")
  if(baseline)
    _zim_tables_baseline_step(${target} "${stamp}" "${out}/zim_tables.manifest" ${arg_VERSION}
                              "${baseline}")
    list(APPEND generated "${stamp}_baseline.stamp")
  endif()
  add_custom_target(${target}_generated DEPENDS ${generated})

  # Generated headers before the platform's: a translation unit that sees
  # this target sees this catalogue's all_tables.h and catalogue_size.h.
  add_library(${target}_headers INTERFACE)
  target_include_directories(${target}_headers INTERFACE "$<BUILD_INTERFACE:${out}/include>")
  target_link_libraries(${target}_headers INTERFACE zim_tables::interface)
  add_dependencies(${target}_headers ${target}_generated)

  add_library(${target} SHARED ${units})
  add_dependencies(${target} ${target}_generated)
  set_target_properties(${target} PROPERTIES
    VERSION ${arg_VERSION}
    SOVERSION ${major}
    ZIM_TABLES_GENERATED_DIR "${out}"
    ZIM_TABLES_VERSION_OF "${arg_VERSION_OF}"
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LINK_DEPENDS "${map}")
  target_compile_features(${target} PRIVATE cxx_std_17)
  # The units call only C functions: no exceptions, no RTTI. A unit's
  # operations call each other (the copy routine the constructors' allocator
  # and read_dbobj, the fix-up from base the fix-up) directly, not through the
  # PLT: an operation is not replaced by another library's symbol of its name.
  # That covers direct calls only; an operation passed by address goes by a
  # unit-local name, which the units' relocation test holds them to.
  # Calls out of a unit (platform queries, calloc, memcpy) jump through the
  # GOT, bound at load time, rather than through a PLT stub: the fix-up asks
  # for N twice per per-NPU array, and each stub would be one more jump.
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-semantic-interposition
                                           -fno-plt -fno-reorder-blocks-and-partition)
  # A read-only GOT, bound at load time, as distributions link libraries.
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${map}" LINKER:--no-undefined LINKER:--as-needed
    LINKER:-z,relro LINKER:-z,now)
  target_link_libraries(${target}
    PUBLIC ${target}_headers ${arg_PLATFORM}
    PRIVATE zim_tables::templates)
  if(arg_INSTALL)
    set(headers "${files}")
    list(FILTER headers INCLUDE REGEX "/include/zim/tables/[^/]*$")
    _zim_tables_install(${target} "${out}" ${arg_VERSION} ${headers})
  endif()
endfunction()
