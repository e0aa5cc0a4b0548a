# Desktop session services (GNOME's session manager, the freedesktop
# ScreenSaver and PowerManagement inhibitors, the portal), each started by its
# test on a private session bus (tests/bus/private-session.sh). Tests whose
# service is not installed skip with the package's name;
# scripts/install-deps-desktop.sh installs them.
set(KORVEL_DESKTOP_DIR ${CMAKE_CURRENT_SOURCE_DIR}/desktop)

# One binary of the library's own objects rather than the shared library: the
# portal's tests point the sandbox check at a file of their own.
add_executable(korvel_desktop_tests
  ${KORVEL_DESKTOP_DIR}/test_services.cpp ${KORVEL_DESKTOP_DIR}/test_screensaver.cpp
  ${KORVEL_DESKTOP_DIR}/test_power_management.cpp ${KORVEL_DESKTOP_DIR}/test_portal.cpp
  ${KORVEL_DESKTOP_DIR}/test_fallback.cpp)
target_include_directories(korvel_desktop_tests PRIVATE ${KORVEL_DESKTOP_DIR})
target_link_libraries(korvel_desktop_tests PRIVATE
  korvel_core korvel_platform korvel_test_support Threads::Threads GTest::gtest_main)
korvel_gtest(korvel_desktop_tests LOGIND)
