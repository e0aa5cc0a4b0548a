# Finds yyjson 0.12 or later and provides the target yyjson::yyjson.
# Debian's package ships a CMake config without a version file, so the version
# is read from the header when the config alone cannot tell.
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
if(NOT yyjson_FOUND)
  message(FATAL_ERROR "yyjson 0.12 or later was not found; run scripts/install-deps.sh (Debian) "
                      "or install it with vcpkg/MSYS2 (Windows)")
endif()
message(STATUS "yyjson ${yyjson_VERSION}")
