# SPDX-License-Identifier: Apache-2.0
# zim_tables_cpack(): one archive of everything and one Debian package per
# component (zim_tables_debian.cmake names and describes them). A macro, so
# that CPack reads the settings made before it in the same scope.
macro(zim_tables_cpack)
  set(CPACK_PACKAGE_NAME zim-tables)
  set(CPACK_PACKAGE_VENDOR "zim tables developers")
  set(CPACK_PACKAGE_CONTACT "${ZIM_TABLES_MAINTAINER}")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Per-type operations on table objects, generated")
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_COMPONENTS_ALL runtime migration development sim sim_development)
  include(CPack)
  cpack_add_component(runtime DISPLAY_NAME "zim tables library")
  cpack_add_component(migration DISPLAY_NAME "conversion of objects between layouts")
  cpack_add_component(development DISPLAY_NAME "zim tables development files"
                      DEPENDS runtime migration)
  cpack_add_component(sim DISPLAY_NAME "simulated platform libraries" DEPENDS migration)
  cpack_add_component(sim_development DISPLAY_NAME "simulated platform development files"
                      DEPENDS sim development)
endmacro()
