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
  set(scripts)
  foreach(name postinst postrm)
    if(EXISTS "${root}/DEBIAN/${name}")
      # CPack's own script: a shebang, a 'set -e' and the ldconfig call.
      file(STRINGS "${root}/DEBIAN/${name}" lines REGEX "^[^#]")
      if(NOT lines MATCHES "ldconfig" OR lines MATCHES "dpkg|update-|systemctl")
        message(FATAL_ERROR "${package}: a ${name} that does more than call ldconfig")
      endif()
      list(APPEND scripts "${root}/DEBIAN/${name}")
    endif()
  endforeach()
  if(scripts)
    file(REMOVE ${scripts})
    file(WRITE "${root}/DEBIAN/triggers" "activate-noawait ldconfig\n")
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${root}" "${package}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${root}")
endforeach()
