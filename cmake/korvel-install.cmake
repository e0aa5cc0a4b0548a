# Where `cmake --install` puts korvel, and the release bundles cpack makes from
# the same rules (a .tar.gz, a .deb). Installed under a prefix on Linux:
#
#   lib/brenvic-korvel-sleep-blocker.so      the library; its SONAME is its file name
#   lib/libbrenvic-korvel-sleep-blocker.so   a link with the name ldconfig, `-l`, find_library
#                                            and the FFIs' bare-name lookups want
#   lib/korvel/libyyjson.so.0                yyjson, private to the library (RUNPATH $ORIGIN/korvel)
#   lib/cmake/korvel/, lib/pkgconfig/korvel.pc, include/korvel.h
#   share/doc/korvel/                        README.md, yyjson's copyright
#
# `lib` is GNUInstallDirs' choice: lib/<multiarch> on Debian when the prefix is
# /usr (the .deb), lib otherwise. The package files find the prefix from where
# they lie, so a tree installed with --prefix or unpacked anywhere works as is.
# The installed library is stripped; its debug info is the `debug` component.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The library's private folder beside it. A yyjson found there comes first: a
# distribution's libyyjson.so.0 of an older release has the same SONAME and
# would load, but lack what korvel was built against. Beside the library itself is
# the place for hosts that ship the two files together.
set(KORVEL_PRIVATE_DIR korvel)
set_target_properties(${KORVEL_LIB} PROPERTIES
  BUILD_WITH_INSTALL_RPATH ON INSTALL_RPATH "\$ORIGIN/${KORVEL_PRIVATE_DIR};\$ORIGIN")

# A plain install ships the lean library: strip unless told otherwise
# (cmake -DCMAKE_INSTALL_DO_STRIP=0 -P cmake_install.cmake keeps the symbols).
install(CODE [[
  if(NOT DEFINED CMAKE_INSTALL_DO_STRIP)
    set(CMAKE_INSTALL_DO_STRIP 1)
  endif()]])

install(TARGETS ${KORVEL_LIB} EXPORT korvel-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/korvel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${PROJECT_SOURCE_DIR}/LICENSE)
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(NOT WIN32)
  # ldconfig indexes only files named lib*; through this link it caches the
  # library under its SONAME, which is what programs linked with
  # -lbrenvic-korvel-sleep-blocker name and what ctypes' find_library returns.
  set(_kor_link ${CMAKE_CURRENT_BINARY_DIR}/korvel-install/lib${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/korvel-install)
  file(CREATE_LINK ${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX} ${_kor_link} SYMBOLIC)
  install(FILES ${_kor_link} DESTINATION ${CMAKE_INSTALL_LIBDIR})

  # The build tree keeps the full library for debugging; the debug info also
  # goes into a file of its own that the stripped installed library points to
  # (gdb finds it beside the library): cmake --install BUILD --component debug.
  add_custom_command(TARGET ${KORVEL_LIB} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${KORVEL_LIB}> $<TARGET_FILE_NAME:${KORVEL_LIB}>.debug
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=$<TARGET_FILE_NAME:${KORVEL_LIB}>.debug $<TARGET_FILE_NAME:${KORVEL_LIB}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${KORVEL_LIB}>
    VERBATIM)
  install(FILES $<TARGET_FILE:${KORVEL_LIB}>.debug DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT debug EXCLUDE_FROM_ALL)

  # yyjson 0.12 is not in every distribution (not in Debian 12), so the
  # library carries the one it was built against, with its licence. A static
  # yyjson is inside the library already.
  get_target_property(_kor_yyjson_type yyjson::yyjson TYPE)
  option(KORVEL_BUNDLE_YYJSON "Install yyjson's shared library in korvel's private folder" ON)
  if(KORVEL_BUNDLE_YYJSON AND NOT _kor_yyjson_type STREQUAL "STATIC_LIBRARY")
    # The file and its SONAME, as yyjson's CMake package records them (per
    # configuration in Debian's).
    get_target_property(_kor_yyjson_file yyjson::yyjson IMPORTED_LOCATION)
    get_target_property(_kor_yyjson_soname yyjson::yyjson IMPORTED_SONAME)
    get_target_property(_kor_yyjson_configs yyjson::yyjson IMPORTED_CONFIGURATIONS)
    foreach(_kor_config IN LISTS _kor_yyjson_configs)
      if(_kor_yyjson_file AND _kor_yyjson_soname)
        break()
      endif()
      get_target_property(_kor_yyjson_file yyjson::yyjson IMPORTED_LOCATION_${_kor_config})
      get_target_property(_kor_yyjson_soname yyjson::yyjson IMPORTED_SONAME_${_kor_config})
    endforeach()
    if(NOT _kor_yyjson_file OR NOT _kor_yyjson_soname)
      message(FATAL_ERROR "yyjson is not a shared library with a SONAME, nothing to bundle "
                          "(configure with -DKORVEL_BUNDLE_YYJSON=OFF)")
    endif()
    find_file(KORVEL_YYJSON_LICENSE NAMES copyright LICENSE
      PATHS /usr/share/doc/libyyjson0 /usr/share/licenses/yyjson /usr/share/doc/yyjson NO_DEFAULT_PATH DOC "yyjson's licence, shipped with the bundled library")
    if(NOT KORVEL_YYJSON_LICENSE)
      message(FATAL_ERROR "yyjson's licence was not found: set KORVEL_YYJSON_LICENSE to its file, "
                          "or configure with -DKORVEL_BUNDLE_YYJSON=OFF")
    endif()
    install(FILES ${_kor_yyjson_file} RENAME ${_kor_yyjson_soname}
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/${KORVEL_PRIVATE_DIR})
    install(FILES ${KORVEL_YYJSON_LICENSE} RENAME copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}/yyjson)
  endif()
endif()

# find_package(korvel) and pkg-config, for hosts that link at build time.
set(KORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvel)
set_target_properties(${KORVEL_LIB} PROPERTIES EXPORT_NAME korvel)
install(EXPORT korvel-targets NAMESPACE korvel:: DESTINATION ${KORVEL_CMAKE_DIR})
configure_package_config_file(cmake/korvel-config.cmake.in ${CMAKE_BINARY_DIR}/korvel-config.cmake
  INSTALL_DESTINATION ${KORVEL_CMAKE_DIR})
# The ABI only grows (cmake/korvel.map), so any later release will do.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/korvel-config-version.cmake COMPATIBILITY AnyNewerVersion)
install(FILES ${CMAKE_BINARY_DIR}/korvel-config.cmake ${CMAKE_BINARY_DIR}/korvel-config-version.cmake
  DESTINATION ${KORVEL_CMAKE_DIR})
# korvel.pc reaches the prefix from its own folder (${pcfiledir}).
file(RELATIVE_PATH KORVEL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KORVEL_PC_TO_PREFIX "${KORVEL_PC_TO_PREFIX}")
configure_file(cmake/korvel.pc.in ${CMAKE_BINARY_DIR}/korvel.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/korvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- Release bundles: cpack -G TGZ (the default) and cpack -G DEB ----------
string(TOLOWER "${PROJECT_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_PACKAGE_FILE_NAME)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "korvel maintainers <korvel@localhost>" CACHE STRING "Maintainer named in the packages")
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Dependencies from the binaries' own needs (libc6, libstdc++6, libsystemd0).
# The private yyjson is resolved inside the package through the RUNPATH, so
# no libyyjson0 is required, and a libyyjson0 installed later sits beside it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_KORVEL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/korvel-cpack.cmake)
include(CPack)
