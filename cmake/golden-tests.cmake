# The examples' golden-file tests, for the Linux library and for each slice
# of the phone's binaries alike: one test per scenario in examples/ and per
# expected output beside it that KINDS names (txt: the timeline, always;
# jsonl: --json, where NAME.jsonl stands; svg: --svg, where NAME.svg does).
# Each compares thrumline-sim's output with the file byte for byte
# (examples/CompareOutput.cmake).
#
#   thrumline_add_golden_tests(PREFIX name LABELS label... KINDS kind...
#                              [PHONE dylib SLICE slice] [ACTUAL_PREFIX text])
function(thrumline_add_golden_tests)
  cmake_parse_arguments(G "" "PREFIX;PHONE;SLICE;ACTUAL_PREFIX" "LABELS;KINDS" ${ARGN})
  set(examples ${PROJECT_SOURCE_DIR}/examples)
  file(GLOB scenarios CONFIGURE_DEPENDS ${examples}/*.scn)
  set(phone)
  if(G_PHONE)
    set(phone -DPHONE=${G_PHONE} -DSLICE=${G_SLICE})
  endif()
  foreach(scenario IN LISTS scenarios)
    get_filename_component(name ${scenario} NAME_WE)
    foreach(kind IN LISTS G_KINDS)
      set(test ${G_PREFIX}.${name})
      set(options)
      if(kind STREQUAL "jsonl")
        string(APPEND test .json)
        set(options -DOPTIONS=--json)
      elseif(kind STREQUAL "svg")
        string(APPEND test .svg)
        set(options -DSVG=ON)
      endif()
      if(NOT kind STREQUAL "txt" AND NOT EXISTS ${examples}/${name}.${kind})
        continue()
      endif()
      add_test(NAME ${test}
        COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:thrumline-sim> ${phone} ${options}
          -DSCENARIO=${scenario} -DEXPECTED=${examples}/${name}.${kind}
          -DACTUAL=${CMAKE_CURRENT_BINARY_DIR}/${G_ACTUAL_PREFIX}${name}.actual.${kind}
          -P ${examples}/CompareOutput.cmake)
      set_tests_properties(${test} PROPERTIES LABELS "${G_LABELS}")
    endforeach()
  endforeach()
endfunction()
