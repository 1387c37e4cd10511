# What every part of the tree builds beside itself: its tests, benchmarks and fuzzers, from its
# tests/, bench/ and fuzz/ where it has them. Benchmarks run where they are built, so never in a
# cross-build. POSIX_TESTS, POSIX_BENCH: those that need POSIX (a pseudo-terminal, a display).
function(js_add_checks)
  cmake_parse_arguments(PARSE_ARGV 0 js "POSIX_TESTS;POSIX_BENCH" "" "")
  set(dir ${CMAKE_CURRENT_SOURCE_DIR})
  if(JS_BUILD_TESTS AND EXISTS ${dir}/tests AND NOT (js_POSIX_TESTS AND WIN32))
    add_subdirectory(tests)
  endif()
  if(JS_BUILD_BENCHMARKS AND EXISTS ${dir}/bench AND NOT CMAKE_CROSSCOMPILING
     AND NOT (js_POSIX_BENCH AND WIN32))
    add_subdirectory(bench)
  endif()
  if(JS_BUILD_FUZZERS AND EXISTS ${dir}/fuzz)
    add_subdirectory(fuzz)
  endif()
endfunction()

# A header-only library that lives with the host's headers (Debian `package`), for `target`.
# A cross-build searches it last, so that the cross compiler's own headers keep precedence.
function(js_host_headers target scope header package)
  string(MAKE_C_IDENTIFIER "JS_${header}_DIR" found)
  find_path(${found} ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${found})
    message(FATAL_ERROR "${target} needs ${header} (Debian: ${package})")
  endif()
  if(CMAKE_CROSSCOMPILING)
    target_compile_options(${target} ${scope} -idirafter ${${found}})
  else()
    target_include_directories(${target} SYSTEM ${scope} ${${found}})
  endif()
endfunction()

# A libFuzzer target, `name`.cpp over `library`: only clang has libFuzzer.
function(js_add_fuzzer name library)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "The fuzz targets need clang (libFuzzer); use the fuzz preset")
  endif()
  add_executable(${name} ${name}.cpp)
  js_warnings(${name})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${library})
endfunction()
