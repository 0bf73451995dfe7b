# SPDX-License-Identifier: Apache-2.0
# The Debian packages: their names, descriptions and dependencies (CPack's
# CPACK_DEBIAN_* settings), and the files Debian asks every package to carry:
# copyright, changelogs, lintian overrides and compressed manual pages.

# The packages' maintainer, named once for every control file and changelog.
set(ZIM_TABLES_MAINTAINER "zim tables developers <maintainers@zim-tables.dev>")
set(ZIM_DEB_RELEASE 1)
set(ZIM_DEB_VERSION ${PROJECT_VERSION}-${ZIM_DEB_RELEASE})

# zim_tables_gzip(<in> <out>): compressed as Debian wants its documentation,
# -9 and -n (no name or time stamp), so the file is reproducible.
function(zim_tables_gzip in out)
  execute_process(COMMAND gzip -9nc ${in} OUTPUT_FILE ${out} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

# zim_tables_package_docs(<package> <component>): the copyright file and the
# Debian changelog (made once, by zim_tables_install_package) every package
# carries in share/doc/<package>, and its lintian overrides: the common ones,
# then its own, if any.
function(zim_tables_package_docs package component)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright
                ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  file(READ ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides.in text)
  set(own ${PROJECT_SOURCE_DIR}/packaging/${package}.lintian-overrides)
  if(EXISTS ${own})
    file(READ ${own} own_text)
    string(APPEND text "${own_text}")
  endif()
  set(PACKAGE ${package})
  set(overrides ${PROJECT_BINARY_DIR}/packaging/${package}.lintian-overrides)
  file(CONFIGURE OUTPUT ${overrides} CONTENT "${text}" @ONLY)
  install(FILES ${overrides} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    RENAME ${package} COMPONENT ${component})
endfunction()

# zim_tables_type_count(<var>): the number of table types the library holds,
# one "type" line each in the layout manifest the definitions generate; read
# again when the manifest changes.
function(zim_tables_type_count var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ZIM_LAYOUT_MANIFEST})
  file(STRINGS ${ZIM_LAYOUT_MANIFEST} types REGEX "^type ")
  list(LENGTH types count)
  set(${var} ${count} PARENT_SCOPE)
endfunction()

# zim_tables_debian_packages(): a macro, so that the CPACK_DEBIAN_* settings
# reach the scope that includes CPack.
macro(zim_tables_debian_packages)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZIM_DEB_RELEASE})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZIM_TABLES_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://zim-tables.dev/)
  # shlibs for the libraries, and the ldconfig trigger that comes with them.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(CPACK_POST_BUILD_SCRIPTS ${zim_tables_cmake_dir}/zim_tables_deb_triggers.cmake)
  set(v ${ZIM_DEB_VERSION})
  zim_tables_type_count(types)
  set(common "The platform keeps its state as table objects: one contiguous record per\n"
             "object, in a process heap or in a shared-memory pool mapped by several\n"
             "processes. zim tables generates, from one definition per table type, the\n"
             "operations on them: sizing, pointer fix-up after relocation, server\n"
             "constructors, header and data copies, client copies and trace ids.")
  string(JOIN "" common ${common})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzim-tables1)
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
      "table object operations, shared library\n${common}\n.\nThis package holds libzim_tables.so.1, the operations of the platform's\n${types} table types.")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.14), zim-tables-platform")
  # C++ inside, unlike libzim_tables, and needed only by servers that
  # upgrade in place: a package of its own.
  set(CPACK_DEBIAN_MIGRATION_PACKAGE_NAME libzim-table-migration1)
  set(CPACK_DEBIAN_MIGRATION_DESCRIPTION
      "table object operations, conversion of objects between layouts\n${common}\n.\nThis package holds libzim_table_migration.so.1, which converts the objects\nof a type from one layout to another when a server upgrades in place.")
  set(CPACK_DEBIAN_MIGRATION_PACKAGE_DEPENDS "libc6 (>= 2.14), libstdc++6 (>= 11), libgcc-s1")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzim-tables-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
      "table object operations, development files and tools\n${common}\n.\nThis package holds the headers, the CMake package and pkg-config file,\nthe generator zim_tablegen for libraries of one's own definitions, the\ninspector zim_tables_inspect and the documentation.")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "libzim-tables1 (= ${v}), libzim-table-migration1 (= ${v}), zim-tables-platform-dev, libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1, zlib1g (>= 1:1.2.0)")
  set(CPACK_DEBIAN_SIM_PACKAGE_NAME zim-tables-sim)
  set(CPACK_DEBIAN_SIM_DESCRIPTION
      "table object operations, simulated platform libraries\n${common}\n.\nThis package holds a simulation of the five platform libraries the table\nlibrary calls (configuration, NPD sizes, uids, a crash-consistent POSIX\nshared-memory pool and table properties), for development and tests.")
  # The pool's migration converts objects with libzim_table_migration.
  set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS
      "libzim-table-migration1 (= ${v}), libc6 (>= 2.34), libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_SIM_PACKAGE_PROVIDES zim-tables-platform)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_NAME zim-tables-sim-dev)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_DESCRIPTION
      "table object operations, simulated platform development files\n${common}\n.\nThis package holds the simulated platform's headers, the CMake targets\nthat define zim_tables::platform and its pkg-config file.")
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_DEPENDS
      "zim-tables-sim (= ${v}), libzim-tables-dev (= ${v})")
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_PROVIDES zim-tables-platform-dev)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.Debian)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${changelog} @ONLY)
  zim_tables_gzip(${changelog} ${changelog}.gz)
  zim_tables_package_docs(libzim-tables1 runtime)
  zim_tables_package_docs(libzim-table-migration1 migration)
  zim_tables_package_docs(libzim-tables-dev development)
  zim_tables_package_docs(zim-tables-sim sim)
  zim_tables_package_docs(zim-tables-sim-dev sim_development)
  # The manual pages, from their roff sources, compressed as man-db reads them.
  foreach(page zim_tablegen.1 zim_tables_inspect.1)
    zim_tables_gzip(${PROJECT_SOURCE_DIR}/docs/man/${page} ${PROJECT_BINARY_DIR}/packaging/${page}.gz)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/${page}.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT development)
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/docs/man/zim_tablegen.1 ${PROJECT_SOURCE_DIR}/docs/man/zim_tables_inspect.1
    ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in)
  # The upstream changelog under the name Debian gives it.
  zim_tables_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libzim-tables-dev COMPONENT development)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libzim-tables-dev/docs COMPONENT development
    FILES_MATCHING PATTERN "*.md")
endmacro()
