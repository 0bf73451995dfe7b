# Install layout, the CMake package and the pkg-config files of zim_tables,
# and the packages CPack builds from them. Every installed path is relative to
# the prefix, so an installed tree can be moved as a whole.
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

function(zim_tables_install_package)
  include(CMakePackageConfigHelpers)
  set(build ${PROJECT_BINARY_DIR}/cmake)
  configure_package_config_file(${zim_tables_cmake_dir}/zim_tablesConfig.cmake.in
    ${build}/zim_tablesConfig.cmake INSTALL_DESTINATION ${ZIM_TABLES_CMAKE_DIR}
    PATH_VARS ZIM_TABLES_TEMPLATE_DIR)
  write_basic_package_version_file(${build}/zim_tablesConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${build}/zim_tablesConfig.cmake ${build}/zim_tablesConfigVersion.cmake
                ${zim_tables_cmake_dir}/zim_tables_add_library.cmake
    DESTINATION ${ZIM_TABLES_CMAKE_DIR} COMPONENT development)
  install(EXPORT zim_tables NAMESPACE zim_tables:: FILE zim_tables-targets.cmake
    DESTINATION ${ZIM_TABLES_CMAKE_DIR} COMPONENT development)
  zim_tables_pkg_config(zim_tables development)

  # One archive of everything; Debian packages per component, named after the
  # library's SONAME. The table library needs a platform: the simulated one
  # provides the virtual packages zim-tables-platform(-dev), as a real
  # platform's packages would.
  set(CPACK_PACKAGE_NAME zim-tables)
  set(CPACK_PACKAGE_VENDOR "zim tables developers")
  set(CPACK_PACKAGE_CONTACT "zim tables developers <zim-tables@localhost>")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Per-type operations on table objects, generated")
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime development sim sim_development)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(v ${PROJECT_VERSION})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzim-tables1)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.14), zim-tables-platform")
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzim-tables-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "libzim-tables1 (= ${v}), zim-tables-platform-dev, libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1")
  set(CPACK_DEBIAN_SIM_PACKAGE_NAME zim-tables-sim)
  set(CPACK_DEBIAN_SIM_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6, libgcc-s1")
  set(CPACK_DEBIAN_SIM_PACKAGE_PROVIDES zim-tables-platform)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_NAME zim-tables-sim-dev)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_DEPENDS
      "zim-tables-sim (= ${v}), libzim-tables-dev (= ${v})")
  set(CPACK_DEBIAN_SIM_DEVELOPMENT_PACKAGE_PROVIDES zim-tables-platform-dev)
  include(CPack)
  cpack_add_component(runtime DISPLAY_NAME "zim tables library")
  cpack_add_component(development DISPLAY_NAME "zim tables development files" DEPENDS runtime)
  cpack_add_component(sim DISPLAY_NAME "simulated platform libraries")
  cpack_add_component(sim_development DISPLAY_NAME "simulated platform development files"
                      DEPENDS sim development)
endfunction()
