# Where `cmake --install` puts korvel, and the release bundles cpack makes from
# the same rules (a .tar.gz, three .debs). Installed under a prefix on Linux:
#
#   lib/brenvic-korvel-sleep-blocker.so       the library; its SONAME is its file name
#   lib/libbrenvic-korvel-sleep-blocker.so    the library's lib name, for `-l`, find_library and
#                                             the FFIs' bare-name loads: a filter on the library
#                                             (cmake/korvel-filter.c), cached by ldconfig
#   lib/libbrenvic-korvel-sleep-blocker.so.0  a link to the library, through which ldconfig
#                                             caches it under its SONAME
#   lib/korvel/libyyjson.so.0                 yyjson, private to the library (RUNPATH $ORIGIN/korvel)
#   lib/cmake/korvel/, lib/pkgconfig/korvel.pc, include/korvel.h, include/korvel.hpp
#   bin/korvel, share/man/man1/korvel.1       the command
#   share/doc/korvel/                         README.md, CHANGELOG.md, LICENSE, the manual (docs/),
#                                             yyjson's copyright
#   share/doc/<package>/copyright             korvel's and yyjson's, in Debian's format
#
# Each file belongs to one component, and each component is one .deb:
# `runtime` (libkorvel0: the library, its names and the private yyjson),
# `devel` (libkorvel-dev: headers, CMake package, pkg-config) and `cli`
# (korvel: the command). The tarball holds them all.
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

# The Debian package of each component (CPack's DEB generator makes one each).
set(KORVEL_DEB_runtime libkorvel0)
set(KORVEL_DEB_devel libkorvel-dev)
set(KORVEL_DEB_cli korvel)

install(TARGETS ${KORVEL_LIB} EXPORT korvel-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel)
install(FILES include/korvel.h include/korvel.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT devel)
install(FILES README.md CHANGELOG.md LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)
# The manual the README links to, beside it so that its links resolve.
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT runtime FILES_MATCHING PATTERN "*.md")

if(KORVEL_PLATFORM STREQUAL "linux")
  # The lib name. ldconfig caches it under its SONAME, which is its file name.
  install(TARGETS korvel_filter LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
  # ldconfig reads only files named lib*, and caches one that is not a lib….so
  # link to a name its target's SONAME starts with under that SONAME: through
  # this link it caches the library as brenvic-korvel-sleep-blocker.so.
  set(_kor_link ${PROJECT_BINARY_DIR}/korvel-install/lib${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX}.0)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/korvel-install)
  file(CREATE_LINK ${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX} ${_kor_link} SYMBOLIC)
  install(FILES ${_kor_link} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)

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
      DESTINATION ${CMAKE_INSTALL_LIBDIR}/${KORVEL_PRIVATE_DIR} COMPONENT runtime)
    install(FILES ${KORVEL_YYJSON_LICENSE} RENAME copyright DESTINATION ${CMAKE_INSTALL_DOCDIR}/yyjson
      COMPONENT runtime)
    file(STRINGS ${KORVEL_YYJSON_LICENSE} _kor_yyjson_copyright REGEX "^Copyright:" LIMIT_COUNT 1)
    string(REGEX REPLACE "^Copyright:[ \t]*" "" _kor_yyjson_copyright "${_kor_yyjson_copyright}")
    if(NOT _kor_yyjson_copyright)
      set(_kor_yyjson_copyright "the yyjson authors")
    endif()
    set(KORVEL_YYJSON_DEP5 "Files: */${KORVEL_PRIVATE_DIR}/${_kor_yyjson_soname}
Copyright: ${_kor_yyjson_copyright}
License: Expat
Comment: yyjson ${yyjson_VERSION}, private to korvel's library; yyjson's own
 copyright file is share/doc/korvel/yyjson/copyright.
")
  endif()
endif()

# korvel's copyright in Debian's machine-readable format (DEP-5), with the
# bundled yyjson's, as share/doc/<package>/copyright of each package.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE _kor_license_lines)
list(REMOVE_AT _kor_license_lines 0 1 2 3)  # the title and copyright lines
set(KORVEL_LICENSE_DEP5 "")
foreach(_kor_line IN LISTS _kor_license_lines)
  if(_kor_line STREQUAL "")
    set(_kor_line ".")
  endif()
  string(APPEND KORVEL_LICENSE_DEP5 " ${_kor_line}\n")
endforeach()
configure_file(cmake/copyright.in ${PROJECT_BINARY_DIR}/copyright @ONLY)
set(_kor_components runtime devel)
if(KORVEL_BUILD_CLI)
  list(APPEND _kor_components cli)
endif()
foreach(_kor_component IN LISTS _kor_components)
  install(FILES ${PROJECT_BINARY_DIR}/copyright
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${KORVEL_DEB_${_kor_component}} COMPONENT ${_kor_component})
endforeach()

# find_package(korvel) and pkg-config, for hosts that link at build time.
set(KORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/korvel)
set_target_properties(${KORVEL_LIB} PROPERTIES EXPORT_NAME korvel)
install(EXPORT korvel-targets NAMESPACE korvel:: DESTINATION ${KORVEL_CMAKE_DIR} COMPONENT devel)
configure_package_config_file(cmake/korvel-config.cmake.in ${PROJECT_BINARY_DIR}/korvel-config.cmake
  INSTALL_DESTINATION ${KORVEL_CMAKE_DIR})
# The ABI only grows (cmake/korvel.map), so any later release will do.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/korvel-config-version.cmake COMPATIBILITY AnyNewerVersion)
install(FILES ${PROJECT_BINARY_DIR}/korvel-config.cmake ${PROJECT_BINARY_DIR}/korvel-config-version.cmake
  DESTINATION ${KORVEL_CMAKE_DIR} COMPONENT devel)
# korvel.pc reaches the prefix from its own folder (${pcfiledir}).
file(RELATIVE_PATH KORVEL_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KORVEL_PC_TO_PREFIX "${KORVEL_PC_TO_PREFIX}")
configure_file(cmake/korvel.pc.in ${PROJECT_BINARY_DIR}/korvel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/korvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)

# --- Release bundles: cpack -G TGZ (the default) and cpack -G DEB ----------
# Only korvel's own build makes them, not a project that embeds korvel.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()
string(TOLOWER "${PROJECT_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" CPACK_PACKAGE_FILE_NAME)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "korvel maintainers <korvel@localhost>" CACHE STRING "Maintainer named in the packages")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR TGZ)
set(CPACK_STRIP_FILES ON)

# One .deb per component, as Debian ships a library: the run-time library,
# its development files, and the command.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${KORVEL_DEB_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVEL_PACKAGE_NAME ${KORVEL_DEB_devel})
set(CPACK_DEBIAN_DEVEL_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${KORVEL_DEB_cli})
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "keep-awake shared library
 brenvic-korvel-sleep-blocker.so keeps the machine awake on request, from any
 language with a C FFI. It carries the yyjson it was built against.")
set(CPACK_COMPONENT_DEVEL_DESCRIPTION "keep-awake shared library (development files)
 The C and C++ headers, the CMake package and the pkg-config file.")
set(CPACK_COMPONENT_CLI_DESCRIPTION "keep the machine awake while a command runs
 The korvel command, built on the keep-awake shared library.")
# The library's dependencies from its own needs (libc6, libstdc++6,
# libsystemd0). The private yyjson is resolved inside the package through the
# RUNPATH, so no libyyjson0 is required, and a libyyjson0 installed later sits
# beside it.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEVEL_PACKAGE_DEPENDS "${KORVEL_DEB_runtime} (= ${PROJECT_VERSION})")
# The command loads the runtime package's library and yyjson. A scan of its
# own package would find the system's libyyjson0 instead (its RUNPATH reaches
# the library folder), so its needs are stated: the C and C++ runtimes that
# the compatibility table in docs/packaging.md gives it, which the
# symbol_baseline test holds it to.
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS
  "${KORVEL_DEB_runtime} (= ${PROJECT_VERSION}), libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1 (>= 3.0)")
if(KORVEL_PLATFORM STREQUAL "linux")
  # What packages built against the library depend on (dpkg-shlibdeps reads
  # it), and ldconfig run after install and removal.
  execute_process(COMMAND awk -f ${PROJECT_SOURCE_DIR}/tests/exports/map-names.awk ${PROJECT_SOURCE_DIR}/cmake/korvel.map
    OUTPUT_VARIABLE _kor_map_names OUTPUT_STRIP_TRAILING_WHITESPACE)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/korvel.map)
  string(REPLACE "\n" ";" _kor_map_names "${_kor_map_names}")
  set(_kor_symbols "")
  foreach(_kor_soname ${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX} lib${KORVEL_LIB}${CMAKE_SHARED_LIBRARY_SUFFIX})
    string(APPEND _kor_symbols "${_kor_soname} ${KORVEL_DEB_runtime} #MINVER#\n")
    set(_kor_nodes "")
    foreach(_kor_entry IN LISTS _kor_map_names)
      string(REPLACE " " ";" _kor_entry "${_kor_entry}")
      list(GET _kor_entry 0 _kor_node)
      list(GET _kor_entry 1 _kor_name)
      # KORVEL_0.1 was first released in 0.1.0.
      string(REGEX REPLACE "^KORVEL_" "" _kor_since "${_kor_node}")
      if(NOT _kor_node IN_LIST _kor_nodes)
        list(APPEND _kor_nodes ${_kor_node})
        string(APPEND _kor_symbols " ${_kor_node}@${_kor_node} ${_kor_since}.0\n")
      endif()
      string(APPEND _kor_symbols " ${_kor_name}@${_kor_node} ${_kor_since}.0\n")
    endforeach()
  endforeach()
  file(WRITE ${PROJECT_BINARY_DIR}/deb-runtime/symbols "${_kor_symbols}")
  file(WRITE ${PROJECT_BINARY_DIR}/deb-runtime/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/deb-runtime/symbols ${PROJECT_BINARY_DIR}/deb-runtime/triggers)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
set(CPACK_KORVEL_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/korvel-cpack.cmake)
include(CPack)
