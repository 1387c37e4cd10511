# The installed GoogleTest serves native builds. A cross-build (or a sanitizer build that
# must not mix instrumented and plain code) compiles the shipped sources instead.
include(GoogleTest)
if(CMAKE_CROSSCOMPILING OR JS_SANITIZE)
  set(JS_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest sources")
  if(NOT EXISTS "${JS_GTEST_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "GoogleTest sources not found in ${JS_GTEST_SOURCE_DIR} "
                        "(Debian package googletest)")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory("${JS_GTEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/googletest" EXCLUDE_FROM_ALL)
  # GoogleTest 1.11 and later name their targets GTest::... themselves.
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

# A test executable of ours: warnings as errors, discovered case by case when it can run here.
function(js_add_test name)
  add_executable(${name} ${ARGN})
  js_warnings(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  if(TARGET jstesting)  # temporary directories and child processes, where there are
    target_link_libraries(${name} PRIVATE jstesting)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)
  endif()
endfunction()
