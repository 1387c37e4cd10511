# What `cmake --install` puts where: the programs, the link and its log as static libraries
# with their public headers, the CMake package JogShuttle that other projects find, and the
# man pages. The simulator's and the probe's own libraries stay inside the build: the programs
# are linked against them statically and nothing else uses them.
include(CMakePackageConfigHelpers)

set(JS_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/JogShuttle")

install(TARGETS jsprobe RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
foreach(tool jssim jsmonitor jskeys)  # where they are built
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(TARGETS JogShuttle jslog EXPORT JogShuttleTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# SerialJS.h and what it includes, and the log calls and sinks a program of its own needs.
install(FILES JogShuttle/SerialJS.h JogShuttle/Platform.h JogShuttle/PortInfo.h JogShuttle/SharedWord.h
              log/wPrintf.h log/LogSink.h log/CaptureSink.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/JogShuttle)

install(EXPORT JogShuttleTargets NAMESPACE JogShuttle:: DESTINATION ${JS_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/JogShuttleConfig.cmake.in
                              "${CMAKE_CURRENT_BINARY_DIR}/JogShuttleConfig.cmake"
                              INSTALL_DESTINATION ${JS_INSTALL_CMAKEDIR})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file("${CMAKE_CURRENT_BINARY_DIR}/JogShuttleConfigVersion.cmake"
                                 COMPATIBILITY SameMinorVersion)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/JogShuttleConfig.cmake"
              "${CMAKE_CURRENT_BINARY_DIR}/JogShuttleConfigVersion.cmake"
        DESTINATION ${JS_INSTALL_CMAKEDIR})

install(FILES docs/jsprobe.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
foreach(tool jssim jsmonitor jskeys)  # the pages of the tools built here
  if(TARGET ${tool})
    install(FILES docs/${tool}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endforeach()
if(TARGET jskeys)  # its map's format
  install(FILES docs/jskeys.toml.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
endif()
# The udev rule for the controller's USB serial adapter, to be filled in and copied to
# /etc/udev/rules.d/ (README: jsmonitor).
install(FILES contrib/99-jogshuttle.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/jogshuttle)
# The systemd user unit that the rule starts, naming jskeys where this install puts it.
if(TARGET jskeys AND NOT WIN32)
  set(JSKEYS_PATH "${CMAKE_INSTALL_FULL_BINDIR}/jskeys")
  configure_file(contrib/jskeys.service.in "${CMAKE_CURRENT_BINARY_DIR}/jskeys.service" @ONLY)
  install(FILES "${CMAKE_CURRENT_BINARY_DIR}/jskeys.service"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/jogshuttle)
endif()

# consumer_package: installs this build into a prefix of its own, builds a small program
# against the installed package and runs it. Only where the installed tree is the plain one a
# user gets and can run here: not in sanitizer, fuzzing or cross builds.
if(JS_BUILD_TESTS AND JS_SANITIZE STREQUAL "" AND NOT JS_BUILD_FUZZERS
   AND NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
  set(js_expected
      "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:jsprobe>"
      "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:JogShuttle>"
      "${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:jslog>"
      "${JS_INSTALL_CMAKEDIR}/JogShuttleConfig.cmake"
      "${JS_INSTALL_CMAKEDIR}/JogShuttleConfigVersion.cmake"
      "${JS_INSTALL_CMAKEDIR}/JogShuttleTargets.cmake"
      "${CMAKE_INSTALL_MANDIR}/man1/jsprobe.1"
      "${CMAKE_INSTALL_DATADIR}/jogshuttle/99-jogshuttle.rules")
  foreach(tool jssim jsmonitor jskeys)
    if(TARGET ${tool})
      list(APPEND js_expected "${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${tool}>"
                              "${CMAKE_INSTALL_MANDIR}/man1/${tool}.1")
    endif()
  endforeach()
  if(TARGET jskeys)
    list(APPEND js_expected "${CMAKE_INSTALL_MANDIR}/man5/jskeys.toml.5"
                            "${CMAKE_INSTALL_DATADIR}/jogshuttle/jskeys.service")
  endif()
  foreach(header SerialJS.h Platform.h SharedWord.h wPrintf.h LogSink.h CaptureSink.h)
    list(APPEND js_expected "${CMAKE_INSTALL_INCLUDEDIR}/JogShuttle/${header}")
  endforeach()
  list(JOIN js_expected "|" js_expected)  # one argument; the script splits it again

  add_test(NAME consumer_package
           COMMAND ${CMAKE_COMMAND}
                   "-DBUILD_DIR=${CMAKE_BINARY_DIR}"
                   "-DCONFIG=$<CONFIG>"
                   "-DWORK_DIR=${CMAKE_BINARY_DIR}/consumer_package"
                   "-DCONSUMER_DIR=${CMAKE_SOURCE_DIR}/tests/consumer"
                   "-DGENERATOR=${CMAKE_GENERATOR}"
                   "-DMAKE_PROGRAM=${CMAKE_MAKE_PROGRAM}"
                   "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}"
                   "-DBINDIR=${CMAKE_INSTALL_BINDIR}"
                   "-DEXPECTED=${js_expected}"
                   -P "${CMAKE_SOURCE_DIR}/tests/consumer/RunConsumerTest.cmake")
  set_tests_properties(consumer_package PROPERTIES TIMEOUT 180 LABELS package)
endif()
