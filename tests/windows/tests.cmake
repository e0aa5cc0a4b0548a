# The Windows suite. Cross-built with mingw-w64 it runs under Wine: the
# toolchain file (cmake/mingw-w64-x86_64.cmake) sets CMAKE_CROSSCOMPILING_EMULATOR,
# which CTest puts in front of every test program below.
#
# The library's DLL imports yyjson.dll, which a cross build only has as an
# import library, so the DLL itself is checked through its export and import
# tables; the platform layer is tested on its own, linked into the test
# programs with a kor_set_error of their own.
set(KORVEL_WIN_TESTS_DIR ${CMAKE_CURRENT_SOURCE_DIR}/windows)

# Test programs carry the compiler's runtime as the DLL does, so that Wine
# needs no DLL search path.
function(korvel_win_test_target target)
  target_include_directories(${target} PRIVATE ${KORVEL_WIN_TESTS_DIR} ${PROJECT_SOURCE_DIR}/src/platform)
  if(MINGW)
    target_link_options(${target} PRIVATE -static)
  endif()
endfunction()

# The core's kor_set_error, for programs that link the platform layer alone.
add_library(korvel_win_error_capture OBJECT ${CMAKE_CURRENT_SOURCE_DIR}/support/error_capture.cpp)
target_include_directories(korvel_win_error_capture PRIVATE ${PROJECT_SOURCE_DIR}/src/platform)
target_include_directories(korvel_win_error_capture PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)

add_executable(korvel_win_sleeper ${KORVEL_WIN_TESTS_DIR}/sleeper.c)
korvel_win_test_target(korvel_win_sleeper)

# --- The platform layer against its contract ---------------------------------
add_executable(korvel_win_tests
  ${KORVEL_WIN_TESTS_DIR}/platform_tests.cpp
  ${KORVEL_WIN_TESTS_DIR}/process_tests.cpp)
target_link_libraries(korvel_win_tests PRIVATE korvel_platform korvel_win_error_capture)
korvel_win_test_target(korvel_win_tests)
add_dependencies(korvel_win_tests korvel_win_sleeper)

# One process per test: the layer's state is process-wide.
set(KORVEL_WIN_LAYER_TESTS
  platform_name_and_clock name_matching_rules pid_alive_and_lookup_edges
  inhibit_flags_and_fallbacks inhibit_mechanism_buffer inhibit_off_only_after_on
  request_outlives_requesting_thread real_execution_state_call)
set(KORVEL_WIN_PROCESS_TESTS
  lookup_by_name_in_any_case lookup_returns_first_match
  liveness_ends_when_killed liveness_ends_when_process_exits)
foreach(name IN LISTS KORVEL_WIN_LAYER_TESTS KORVEL_WIN_PROCESS_TESTS)
  add_test(NAME windows.layer.${name} COMMAND korvel_win_tests ${name})
  set_tests_properties(windows.layer.${name} PROPERTIES TIMEOUT 90)
endforeach()
foreach(name IN LISTS KORVEL_WIN_PROCESS_TESTS)
  # The sleepers share their names, so lookups would see each other's.
  set_tests_properties(windows.layer.${name} PROPERTIES RESOURCE_LOCK korvel_win_sleepers)
endforeach()

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
