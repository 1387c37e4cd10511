# The consumer_package test, run as
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... [-DCONFIG=...] [-DGENERATOR=...]
#         [-DMAKE_PROGRAM=...] [-DCXX_COMPILER=...] [-DBINDIR=bin] [-DEXPECTED=a|b|...]
#         -P RunConsumerTest.cmake
# Installs the finished build BUILD_DIR into WORK_DIR/prefix, checks that every EXPECTED path
# (relative to the prefix) is there, runs the installed jsprobe on an empty port directory,
# then configures, builds and runs the program in CONSUMER_DIR against the installed package.
# WORK_DIR is made afresh and removed again when everything passed.
cmake_minimum_required(VERSION 3.25)

foreach(required BUILD_DIR WORK_DIR CONSUMER_DIR)
  if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
    message(FATAL_ERROR "RunConsumerTest.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT DEFINED BINDIR)
  set(BINDIR bin)
endif()

set(prefix "${WORK_DIR}/prefix")
set(consumer_build "${WORK_DIR}/consumer-build")
set(port_dir "${WORK_DIR}/ports")  # stays empty: every COMn is a missing port
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${port_dir}")

# Runs a command; on failure shows what it printed and stops the test.
function(run_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

# 1. Install, as a user would.
set(config_args)
if(NOT "${CONFIG}" STREQUAL "")
  set(config_args --config "${CONFIG}")
endif()
run_step("cmake --install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
         ${config_args})

if(DEFINED EXPECTED AND NOT "${EXPECTED}" STREQUAL "")
  string(REPLACE "|" ";" expected "${EXPECTED}")
  set(missing)
  foreach(path IN LISTS expected)
    if(NOT EXISTS "${prefix}/${path}")
      list(APPEND missing "${path}")
    endif()
  endforeach()
  if(missing)
    file(GLOB_RECURSE installed RELATIVE "${prefix}" "${prefix}/*")
    list(JOIN missing "\n  " missing)
    list(JOIN installed "\n  " installed)
    message(FATAL_ERROR "not installed:\n  ${missing}\ninstalled:\n  ${installed}")
  endif()
endif()

# 2. The installed jsprobe on its own: no ports at all, so every port fails to open and the
#    exit status is 0.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env "JS_PORT_DIR=${port_dir}"
                        "${prefix}/${BINDIR}/jsprobe"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "\\[24:1\\] SerialJS: Error \\(2\\) opening COM[1-7]: config: "
       open_failures "${err}")
list(LENGTH open_failures open_failures)
if(NOT rc EQUAL 0 OR NOT open_failures EQUAL 7
   OR NOT err MATCHES "\\[27:10\\] JS: testing COM7\n")
  message(FATAL_ERROR "installed jsprobe with no ports: status ${rc}, want 0 and seven "
                      "opening errors; standard error:\n${err}")
endif()

# 3. A program of its own against the installed package, and nothing else of this tree.
set(configure_args -S "${CONSUMER_DIR}" -B "${consumer_build}" "-DCMAKE_PREFIX_PATH=${prefix}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
if(NOT "${GENERATOR}" STREQUAL "")
  list(APPEND configure_args -G "${GENERATOR}")
endif()
if(NOT "${MAKE_PROGRAM}" STREQUAL "")
  list(APPEND configure_args "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}")
endif()
if(NOT "${CXX_COMPILER}" STREQUAL "")
  list(APPEND configure_args "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}")
endif()
if(NOT "${CONFIG}" STREQUAL "")
  list(APPEND configure_args "-DCMAKE_BUILD_TYPE=${CONFIG}")
endif()
run_step("configuring the consumer" "${CMAKE_COMMAND}" ${configure_args})

# find_package must have taken the package just installed, not one from elsewhere.
file(STRINGS "${consumer_build}/CMakeCache.txt" package_dir REGEX "^JogShuttle_DIR:")
string(REGEX REPLACE "^JogShuttle_DIR:[A-Z]+=" "" package_dir "${package_dir}")
file(REAL_PATH "${package_dir}" package_dir)
file(REAL_PATH "${prefix}" real_prefix)
string(FIND "${package_dir}/" "${real_prefix}/" at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "the consumer found JogShuttle in ${package_dir}, not under ${prefix}")
endif()

run_step("building the consumer" "${CMAKE_COMMAND}" --build "${consumer_build}" ${config_args})

# 4. Run it.
run_step("running the consumer" "${CMAKE_COMMAND}" -E env "JS_PORT_DIR=${port_dir}"
         "${consumer_build}/consumer")
if(NOT step_output MATCHES "consumer ok")
  message(FATAL_ERROR "the consumer did not report success:\n${step_output}")
endif()

message(STATUS "consumer ok; JogShuttle found in ${package_dir}")
file(REMOVE_RECURSE "${WORK_DIR}")
