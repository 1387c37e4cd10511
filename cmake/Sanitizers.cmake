# JS_SANITIZE applies to everything built in this tree, tests and GoogleTest alike. Its presets
# build at -O1 with line tables only (-g1): the reports still name file and line, and the build
# takes half the time of -O2 -g.
if(JS_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(JS_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT JS_SANITIZE STREQUAL "")
  message(FATAL_ERROR "JS_SANITIZE must be empty, address or thread, not '${JS_SANITIZE}'")
endif()

# Fuzzing: every library is instrumented for coverage, with ASan and UBSan; the fuzz targets
# add libFuzzer's own main.
if(JS_BUILD_FUZZERS)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
