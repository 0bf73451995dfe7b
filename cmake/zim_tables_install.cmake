# SPDX-License-Identifier: Apache-2.0
# Install layout, the CMake package and the pkg-config files of zim_tables,
# and the packages CPack builds from them (zim_tables_debian.cmake for what
# Debian wants, zim_tables_cpack.cmake for the archive and the components).
# Every installed path is relative to the prefix, so an installed tree can be
# moved as a whole.
set(ZIM_TABLES_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zim_tables)
set(ZIM_TABLES_TEMPLATE_DIR ${CMAKE_INSTALL_DATADIR}/zim_tables)
set(ZIM_TABLES_PKGCONFIG_PLATFORM zim_tables_sim CACHE STRING
    "pkg-config module of the platform libraries that zim_tables.pc requires")
set(zim_tables_cmake_dir ${CMAKE_CURRENT_LIST_DIR})

# zim_tables_pkg_config(<name> <component>): installs <name>.pc from
# cmake/<name>.pc.in, finding the prefix from the file's own folder.
function(zim_tables_pkg_config name component)
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH PC_PREFIX /${pc_dir} /)
  string(REGEX REPLACE "/$" "" PC_PREFIX "\${pcfiledir}/${PC_PREFIX}")
  configure_file(${zim_tables_cmake_dir}/${name}.pc.in ${PROJECT_BINARY_DIR}/${name}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${name}.pc DESTINATION ${pc_dir} COMPONENT ${component})
endfunction()

# zim_tables_package_config(): the CMake package (config, version and targets
# files, with zim_tables_add_library) and zim_tables.pc, for find_package and
# pkg-config users of the installed tree.
function(zim_tables_package_config)
  include(CMakePackageConfigHelpers)
  set(build ${PROJECT_BINARY_DIR}/cmake)
  configure_package_config_file(${zim_tables_cmake_dir}/zim_tablesConfig.cmake.in
    ${build}/zim_tablesConfig.cmake INSTALL_DESTINATION ${ZIM_TABLES_CMAKE_DIR}
    PATH_VARS ZIM_TABLES_TEMPLATE_DIR)
  write_basic_package_version_file(${build}/zim_tablesConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${build}/zim_tablesConfig.cmake ${build}/zim_tablesConfigVersion.cmake
                ${zim_tables_cmake_dir}/zim_tables_add_library.cmake
                ${zim_tables_cmake_dir}/zim_tables_library_install.cmake
                ${zim_tables_cmake_dir}/zim_tables_library_version.cmake
                ${zim_tables_cmake_dir}/zim_tables_check_baseline.cmake
                ${zim_tables_cmake_dir}/zim_tables_libraryConfig.cmake.in
                ${zim_tables_cmake_dir}/zim_tables_library.pc.in
    DESTINATION ${ZIM_TABLES_CMAKE_DIR} COMPONENT development)
  install(EXPORT zim_tables NAMESPACE zim_tables:: FILE zim_tables-targets.cmake
    DESTINATION ${ZIM_TABLES_CMAKE_DIR} COMPONENT development)
  zim_tables_pkg_config(zim_tables development)
endfunction()

include(${zim_tables_cmake_dir}/zim_tables_debian.cmake)
include(${zim_tables_cmake_dir}/zim_tables_cpack.cmake)

# Everything a user installs: the CMake package, then the Debian packages'
# settings and files, then CPack, which reads those settings.
function(zim_tables_install_package)
  zim_tables_package_config()
  zim_tables_debian_packages()
  zim_tables_cpack()
endfunction()
