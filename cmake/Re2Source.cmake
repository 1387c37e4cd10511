# Run at the windows preset's first project() (CMAKE_PROJECT_TOP_LEVEL_INCLUDES): the cross-build
# compiles RE2 from Debian's source, as mingw-w64 has none of its own, and this fetches that
# source into JS_RE2_SOURCE_DIR when it is not there yet, so that the preset's workflow needs
# nothing run before it. Once there, it is used as it is.
if(DEFINED JS_RE2_SOURCE_DIR AND NOT JS_RE2_SOURCE_DIR STREQUAL ""
   AND NOT EXISTS "${JS_RE2_SOURCE_DIR}/CMakeLists.txt")
  cmake_path(GET JS_RE2_SOURCE_DIR FILENAME js_re2_leaf)
  if(NOT js_re2_leaf STREQUAL "re2")
    message(FATAL_ERROR "JS_RE2_SOURCE_DIR (${JS_RE2_SOURCE_DIR}) is missing, and only a "
                        "folder named re2 can be fetched (cmake/re2-source.sh DIR makes DIR/re2)")
  endif()
  cmake_path(GET JS_RE2_SOURCE_DIR PARENT_PATH js_re2_parent)
  message(STATUS "Fetching RE2's source into ${js_re2_parent} (once; a minute or two)")
  execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/re2-source.sh" "${js_re2_parent}"
                  RESULT_VARIABLE js_re2_result)
  if(NOT js_re2_result EQUAL 0 OR NOT EXISTS "${JS_RE2_SOURCE_DIR}/CMakeLists.txt")
    message(FATAL_ERROR "could not fetch RE2's source (cmake/re2-source.sh ${js_re2_parent} "
                        "said why above)")
  endif()
endif()
