# Desktop session services (GNOME's session manager, the freedesktop
# ScreenSaver and PowerManagement inhibitors, the portal), each started by its
# test on a private session bus. Tests whose service is not installed skip
# with the package's name; scripts/install-deps-desktop.sh installs them.
set(KORVEL_DESKTOP_DIR ${CMAKE_CURRENT_SOURCE_DIR}/desktop)

add_library(korvel_desktop_support STATIC
  ${KORVEL_DESKTOP_DIR}/desktop_session.cpp ${KORVEL_DESKTOP_DIR}/desktop_host.cpp)
target_include_directories(korvel_desktop_support PUBLIC ${KORVEL_DESKTOP_DIR} ${PROJECT_SOURCE_DIR}/include)
target_compile_definitions(korvel_desktop_support PUBLIC KORVEL_DESKTOP_DIR="${KORVEL_DESKTOP_DIR}")
target_link_libraries(korvel_desktop_support PUBLIC korvel_test_support)

# The built library, as hosts load it.
add_executable(korvel_desktop_tests
  ${KORVEL_DESKTOP_DIR}/test_gnome_session.cpp
  ${KORVEL_DESKTOP_DIR}/test_screensaver.cpp
  ${KORVEL_DESKTOP_DIR}/test_power_management.cpp
  ${KORVEL_DESKTOP_DIR}/test_fallback.cpp)
target_link_libraries(korvel_desktop_tests PRIVATE korvel_desktop_support ${KORVEL_LIB} GTest::gtest_main)
korvel_gtest(korvel_desktop_tests LOGIND)

# The portal needs the sandbox check pointed at a test file, which only the
# library's own objects let a test do.
add_executable(korvel_desktop_portal_tests ${KORVEL_DESKTOP_DIR}/test_portal.cpp)
target_link_libraries(korvel_desktop_portal_tests PRIVATE
  korvel_desktop_support korvel_core korvel_platform Threads::Threads GTest::gtest_main)
korvel_gtest(korvel_desktop_portal_tests LOGIND)
