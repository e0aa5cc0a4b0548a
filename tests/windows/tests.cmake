# The Windows suite. Cross-built with mingw-w64 it runs under Wine: the
# toolchain file (cmake/mingw-w64-x86_64.cmake) sets CMAKE_CROSSCOMPILING_EMULATOR,
# which CTest puts in front of every test program below, and which
# gtest_discover_tests uses to list the tests.
#
# The library's DLL imports yyjson.dll, which a cross build only has as an
# import library, so the DLL itself is checked through its export and import
# tables; the platform layer is tested on its own, linked into the test
# programs with a kor_set_error of their own.
set(KORVEL_WIN_TESTS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/windows)

# GoogleTest is built from Debian's sources (package googletest) with the
# cross compiler, as a static library like everything else here.
set(KORVEL_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest's sources, for the cross build")
if(NOT EXISTS ${KORVEL_GTEST_SOURCE_DIR}/googletest/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KORVEL_GTEST_SOURCE_DIR}: "
    "run scripts/install-deps-windows.sh or set KORVEL_GTEST_SOURCE_DIR")
endif()
set(BUILD_GMOCK OFF)
set(INSTALL_GTEST OFF)
# Only the gtest library, which is not installed with ours.
add_subdirectory(${KORVEL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# GoogleTest and the test programs' own code are built without optimisation,
# which halves their compile time under the cross compiler; the platform layer
# they test keeps the build's flags.
set(KORVEL_WIN_TEST_CODE_FLAGS $<$<CXX_COMPILER_ID:GNU>:-O0>)
target_compile_options(gtest PRIVATE ${KORVEL_WIN_TEST_CODE_FLAGS})
target_compile_options(gtest_main PRIVATE ${KORVEL_WIN_TEST_CODE_FLAGS})

# Test programs carry the compiler's runtime as the DLL does, so that Wine
# needs no DLL search path.
function(korvel_win_test_target target)
  if(MINGW)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# The core's kor_set_error, for programs that link the platform layer alone.
add_library(korvel_win_error_capture OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/support/error_capture.cpp)
target_include_directories(korvel_win_error_capture
  PRIVATE $<TARGET_PROPERTY:korvel_platform,INTERFACE_INCLUDE_DIRECTORIES>
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)

# A GoogleTest program of the platform layer. Each test runs in a process of
# its own (the layer's state is process-wide). The list is read from the
# program when CTest starts rather than after each link, so that building
# never starts Wine.
function(korvel_win_gtest target)
  cmake_parse_arguments(ARG "" "" "SOURCES;PROPERTIES" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE korvel_platform korvel_win_error_capture GTest::gtest_main)
  target_compile_options(${target} PRIVATE ${KORVEL_WIN_TEST_CODE_FLAGS})
  korvel_win_test_target(${target})
  gtest_discover_tests(${target} TEST_PREFIX windows. NO_PRETTY_VALUES
    DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 90 ${ARG_PROPERTIES})
endfunction()

# --- The platform contract (tests/contract), and the cases only Windows has ---
set(KORVEL_CONTRACT_DIR ${CMAKE_CURRENT_SOURCE_DIR}/contract)
add_executable(korvel_contract_sleeper ${KORVEL_CONTRACT_DIR}/sleeper.c)
korvel_win_test_target(korvel_contract_sleeper)
korvel_win_gtest(korvel_win_contract
  SOURCES ${KORVEL_CONTRACT_DIR}/contract_tests.cpp ${KORVEL_CONTRACT_DIR}/windows_layer.cpp)
target_include_directories(korvel_win_contract PRIVATE ${KORVEL_CONTRACT_DIR})
add_dependencies(korvel_win_contract korvel_contract_sleeper)

# --- Hosts that end without releasing the inhibition ------------------------
add_executable(korvel_win_exit_host ${KORVEL_WIN_TESTS_DIR}/exit_host.cpp)
target_link_libraries(korvel_win_exit_host PRIVATE korvel_platform korvel_win_error_capture)
korvel_win_test_target(korvel_win_exit_host)

add_library(korvel_win_layer SHARED ${KORVEL_WIN_TESTS_DIR}/layer_dll.cpp)
target_link_libraries(korvel_win_layer PRIVATE korvel_platform korvel_win_error_capture)
set_target_properties(korvel_win_layer PROPERTIES PREFIX "")
korvel_win_test_target(korvel_win_layer)

add_executable(korvel_win_unload_host ${KORVEL_WIN_TESTS_DIR}/unload_host.cpp)
korvel_win_test_target(korvel_win_unload_host)
add_dependencies(korvel_win_unload_host korvel_win_layer)

foreach(mode main thread)
  add_test(NAME windows.exit_without_release.${mode} COMMAND korvel_win_exit_host ${mode})
endforeach()
foreach(mode free exit)
  add_test(NAME windows.unload_without_release.${mode} COMMAND korvel_win_unload_host ${mode})
endforeach()
# Exit code 0 and not a byte of output (std::terminate would print).
set_tests_properties(
  windows.exit_without_release.main windows.exit_without_release.thread
  windows.unload_without_release.free windows.unload_without_release.exit
  PROPERTIES FAIL_REGULAR_EXPRESSION "." TIMEOUT 60)

# --- The DLL's export and import tables --------------------------------------
if(CMAKE_OBJDUMP)
  add_test(NAME windows.dll_exports_and_imports
    COMMAND sh ${KORVEL_WIN_TESTS_DIR}/check-dll.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:${KORVEL_LIB}>)
endif()
