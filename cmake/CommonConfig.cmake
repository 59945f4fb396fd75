# One interface target that carries the language level, warnings and
# definitions every target of the project shares.
add_library(skyportal_common INTERFACE)
target_compile_features(skyportal_common INTERFACE cxx_std_20)
target_compile_options(skyportal_common INTERFACE
  -Wall -Wextra -Werror -Wnon-virtual-dtor -Woverloaded-virtual -Wshadow=local)
target_compile_definitions(skyportal_common INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_FOREACH
  SKYPORTAL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_include_directories(skyportal_common INTERFACE ${CMAKE_SOURCE_DIR}/src)
# Symbols bound at load time and the tables read-only after it, as Debian
# links its programs.
target_link_options(skyportal_common INTERFACE -Wl,-z,relro,-z,now)

if(SKYPORTAL_SANITIZE)
  set(_san -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_compile_options(skyportal_common INTERFACE ${_san})
  target_link_options(skyportal_common INTERFACE ${_san})
endif()

# Helper for the test folders: one executable per subject, run by ctest.
# Widget tests run headless.
function(skyportal_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE skyportal_common ${T_LIBS} GTest::gmock GTest::gtest_main)
  # Helpers several test folders share.
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
  add_test(NAME ${name} COMMAND ${name})
  # A home inside the build: whatever a test leaves in the user's desktop or
  # autostart folder never reaches the real ones.
  set(_home ${CMAKE_BINARY_DIR}/tests/home)
  file(MAKE_DIRECTORY ${_home})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;SKYPORTAL_BIN_DIR=${CMAKE_BINARY_DIR}/bin;HOME=${_home};XDG_CONFIG_HOME=${_home}/.config"
    ENVIRONMENT_MODIFICATION "XDG_DESKTOP_DIR=unset:"
    TIMEOUT 600)
endfunction()
