# Finds yyjson 0.12 or later and provides the target yyjson::yyjson.
# Debian's package ships a CMake config without a version file, so the version
# is read from the header when the config alone cannot tell.
set(_KORVEL_FIND_YYJSON_DIR ${CMAKE_CURRENT_LIST_DIR})

# Cross builds for Windows with no Windows build of yyjson at hand: the core is
# compiled against the build machine's yyjson.h (the header is the same on
# every platform) and the DLL is linked against an import library made from
# yyjson-windows.def, so that it names yyjson.dll among its imports. The DLL
# then loads only next to a real yyjson.dll; its exports, its imports and the
# platform layer can be checked here all the same. Windows builds find the
# real package (vcpkg, MSYS2) and never get here.
function(korvel_yyjson_import_stub)
  find_path(KORVEL_YYJSON_HOST_INCLUDE_DIR yyjson.h NO_CMAKE_FIND_ROOT_PATH)
  if(NOT KORVEL_YYJSON_HOST_INCLUDE_DIR)
    return()
  endif()
  file(STRINGS "${KORVEL_YYJSON_HOST_INCLUDE_DIR}/yyjson.h" _kor_yyjson_ver REGEX "#define YYJSON_VERSION_STRING")
  string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" _kor_yyjson_stub_version "${_kor_yyjson_ver}")
  if(NOT _kor_yyjson_stub_version OR _kor_yyjson_stub_version VERSION_LESS 0.12)
    return()
  endif()

  string(REGEX MATCH "^(.*-)g(cc|\\+\\+)" _kor_prefix "${CMAKE_CXX_COMPILER}")
  find_program(KORVEL_DLLTOOL NAMES ${CMAKE_MATCH_1}dlltool x86_64-w64-mingw32-dlltool dlltool)
  if(NOT KORVEL_DLLTOOL)
    message(WARNING "dlltool not found: cannot make the yyjson import library")
    return()
  endif()

  # Only the header is copied: the cross compiler must not see the rest of the
  # build machine's include directory.
  set(_kor_stub_dir ${CMAKE_BINARY_DIR}/yyjson-import-stub)
  configure_file(${KORVEL_YYJSON_HOST_INCLUDE_DIR}/yyjson.h ${_kor_stub_dir}/include/yyjson.h COPYONLY)
  set(_kor_def ${_KORVEL_FIND_YYJSON_DIR}/yyjson-windows.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_kor_def})
  execute_process(
    COMMAND ${KORVEL_DLLTOOL} -m i386:x86-64 -d ${_kor_def} -l ${_kor_stub_dir}/libyyjson.dll.a
    RESULT_VARIABLE _kor_rc ERROR_VARIABLE _kor_err)
  if(NOT _kor_rc EQUAL 0)
    message(WARNING "dlltool failed: ${_kor_err}")
    return()
  endif()

  add_library(yyjson::yyjson UNKNOWN IMPORTED)
  set_target_properties(yyjson::yyjson PROPERTIES
    IMPORTED_LOCATION ${_kor_stub_dir}/libyyjson.dll.a
    INTERFACE_INCLUDE_DIRECTORIES ${_kor_stub_dir}/include)
  set(yyjson_FOUND TRUE PARENT_SCOPE)
  set(yyjson_VERSION ${_kor_yyjson_stub_version} PARENT_SCOPE)
  set(KORVEL_YYJSON_IMPORT_STUB TRUE PARENT_SCOPE)
  message(STATUS "No Windows build of yyjson found: linking against an import library for "
                  "yyjson.dll made from cmake/yyjson-windows.def. The DLL needs yyjson.dll beside it to load.")
endfunction()

find_package(yyjson 0.12 CONFIG QUIET)
if(NOT yyjson_FOUND)
  find_package(yyjson CONFIG QUIET)
  if(yyjson_FOUND)
    get_target_property(_kor_yyjson_inc yyjson::yyjson INTERFACE_INCLUDE_DIRECTORIES)
    find_file(_kor_yyjson_h yyjson.h PATHS ${_kor_yyjson_inc} NO_DEFAULT_PATH)
    if(_kor_yyjson_h)
      file(STRINGS "${_kor_yyjson_h}" _kor_yyjson_ver REGEX "#define YYJSON_VERSION_STRING")
      string(REGEX MATCH "[0-9]+\\.[0-9]+\\.[0-9]+" yyjson_VERSION "${_kor_yyjson_ver}")
    endif()
    if(NOT yyjson_VERSION OR yyjson_VERSION VERSION_LESS 0.12)
      set(yyjson_FOUND FALSE)
    endif()
  endif()
endif()
if(NOT yyjson_FOUND AND WIN32 AND CMAKE_CROSSCOMPILING)
  korvel_yyjson_import_stub()
endif()
if(NOT yyjson_FOUND)
  message(FATAL_ERROR "yyjson 0.12 or later was not found; run scripts/install-deps.sh (Debian) "
                      "or install it with vcpkg/MSYS2 (Windows)")
endif()
message(STATUS "yyjson ${yyjson_VERSION}")
