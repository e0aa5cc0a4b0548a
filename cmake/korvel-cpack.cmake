# Read by cpack for each package it makes.
if(CPACK_GENERATOR STREQUAL "DEB")
  # The install rules chose the library folder when the build was configured;
  # only a build for the prefix /usr puts it in Debian's multiarch folder.
  if(NOT CPACK_KORVEL_INSTALL_PREFIX STREQUAL "/usr")
    message(FATAL_ERROR "The .deb is made from a build configured for the prefix /usr "
                        "(cmake --preset deb, or -DCMAKE_INSTALL_PREFIX=/usr); this one is for "
                        "${CPACK_KORVEL_INSTALL_PREFIX}.")
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  # One package each; the debug info stays out.
  set(CPACK_COMPONENTS_ALL runtime devel cli)
endif()
