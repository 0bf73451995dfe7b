# SPDX-License-Identifier: Apache-2.0
# The install rules that zim_tables_add_library(... INSTALL) adds, a part of
# zim_tables_add_library.cmake (which includes it and sets
# _ZIM_TABLES_MODULE_DIR and _ZIM_TABLES_PLATFORM_LIBDIR).

# The install rules of INSTALL. The headers go to include/<target>/, so that
# this catalogue's all_tables.h and catalogue_size.h never replace the
# platform's in a shared prefix; the package and the .pc file put that folder
# ahead of the platform's.
function(_zim_tables_install target out version)
  include(GNUInstallDirs)
  include(CMakePackageConfigHelpers)
  set(ZIM_LIBRARY_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/${target})
  set(ZIM_LIBRARY_DATADIR ${CMAKE_INSTALL_DATADIR}/${target})
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${target})
  set(pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  target_include_directories(${target}_headers INTERFACE
    "$<INSTALL_INTERFACE:${ZIM_LIBRARY_INCLUDEDIR}>")
  set_target_properties(${target}_headers PROPERTIES EXPORT_NAME headers)
  get_target_property(rpath ${target} INSTALL_RPATH)
  if(NOT rpath)
    set(rpath "$ORIGIN")
    set(platform_libdir "${_ZIM_TABLES_PLATFORM_LIBDIR}")
    if(platform_libdir AND NOT platform_libdir STREQUAL CMAKE_INSTALL_LIBDIR)
      file(RELATIVE_PATH up "/${CMAKE_INSTALL_LIBDIR}" "/${platform_libdir}")
      list(APPEND rpath "$ORIGIN/${up}")
    endif()
    # Installed in a prefix of its own, the relative folder leads nowhere.
    if(_ZIM_TABLES_PLATFORM_LIBDIR_ABSOLUTE)
      list(APPEND rpath "${_ZIM_TABLES_PLATFORM_LIBDIR_ABSOLUTE}")
    endif()
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${rpath}")
  endif()
  install(TARGETS ${target} ${target}_headers EXPORT ${target}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${ARGN} DESTINATION ${ZIM_LIBRARY_INCLUDEDIR}/zim/tables)
  # layout.manifest goes with the headers (the last version installed);
  # layout-<version>.manifest stays beside the other versions' for the next
  # release's BASELINE.
  install(FILES "${out}/zim_tables.manifest" DESTINATION ${ZIM_LIBRARY_DATADIR}
    RENAME layout.manifest)
  install(FILES "${out}/zim_tables.manifest" DESTINATION ${ZIM_LIBRARY_DATADIR}
    RENAME layout-${version}.manifest)
  install(EXPORT ${target} NAMESPACE ${target}:: FILE ${target}-targets.cmake
    DESTINATION ${cmake_dir})

  set(build "${CMAKE_CURRENT_BINARY_DIR}/${target}_package")
  configure_package_config_file("${_ZIM_TABLES_MODULE_DIR}/zim_tables_libraryConfig.cmake.in"
    "${build}/${target}Config.cmake" INSTALL_DESTINATION ${cmake_dir}
    PATH_VARS ZIM_LIBRARY_DATADIR)
  write_basic_package_version_file("${build}/${target}ConfigVersion.cmake"
    VERSION ${version} COMPATIBILITY SameMajorVersion)
  install(FILES "${build}/${target}Config.cmake" "${build}/${target}ConfigVersion.cmake"
    DESTINATION ${cmake_dir})

  # The .pc file finds the prefix from its own folder; its library's file
  # name is read when the build is generated, after the caller has set it.
  file(RELATIVE_PATH PC_PREFIX "/${pc_dir}" /)
  string(REGEX REPLACE "/$" "" PC_PREFIX "\${pcfiledir}/${PC_PREFIX}")
  set(ZIM_LIBRARY_VERSION ${version})
  configure_file("${_ZIM_TABLES_MODULE_DIR}/zim_tables_library.pc.in" "${build}/${target}.pc.in" @ONLY)
  file(GENERATE OUTPUT "${build}/${target}.pc" INPUT "${build}/${target}.pc.in")
  install(FILES "${build}/${target}.pc" DESTINATION ${pc_dir})
endfunction()
