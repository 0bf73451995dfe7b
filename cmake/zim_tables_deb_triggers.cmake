# SPDX-License-Identifier: Apache-2.0
# Run by CPack after it writes the packages (CPACK_POST_BUILD_SCRIPTS). CPack
# gives a package of shared libraries postinst and postrm scripts that call
# ldconfig; dpkg runs ldconfig once per transaction through its trigger
# instead. Each such .deb is rebuilt with the trigger and without the scripts.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  set(root "${package}.d")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${root}" COMMAND_ERROR_IS_FATAL ANY)
  if(EXISTS "${root}/DEBIAN/postinst" OR EXISTS "${root}/DEBIAN/postrm")
    file(STRINGS "${root}/DEBIAN/postinst" postinst)
    if(NOT postinst MATCHES "ldconfig")
      message(FATAL_ERROR "${package}: a postinst that does more than ldconfig")
    endif()
    file(REMOVE "${root}/DEBIAN/postinst" "${root}/DEBIAN/postrm")
    file(WRITE "${root}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${root}" "${package}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${root}")
endforeach()
