# Whether the GNUstep proof builds here (gnustep-proof/, and the settings
# pane's proof test), and its languages. Included by the top-level
# CMakeLists.txt for a Linux build with tests: a language is enabled in the
# highest folder whose targets use it.

# g++ compiles Objective-C++ only with gobjc++ installed; clang++ would need
# another Objective-C runtime than the one GNUstep Base is built for here.
set(_proof_available OFF)
find_program(THRUMLINE_GNUSTEP_CONFIG gnustep-config)
if(THRUMLINE_GNUSTEP_CONFIG AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_probe "${CMAKE_BINARY_DIR}/CMakeFiles/objcxx-probe.mm")
  file(WRITE "${_probe}" "@interface ThrumlineProbe\n@end\n")
  execute_process(
    COMMAND "${CMAKE_CXX_COMPILER}" -x objective-c++ -fsyntax-only "${_probe}"
    RESULT_VARIABLE _objcxx_result OUTPUT_QUIET ERROR_QUIET)
  if(_objcxx_result EQUAL 0)
    set(_proof_available ON)
  endif()
endif()
option(THRUMLINE_GNUSTEP_PROOF
  "Run the device backend on GNUstep and GCC's Objective-C runtime (needs gobjc++, libgnustep-base-dev)"
  ${_proof_available})
if(NOT THRUMLINE_GNUSTEP_PROOF)
  message(STATUS "GNUstep proof build off (needs gobjc++ and libgnustep-base-dev)")
  return()
endif()
if(NOT _proof_available)
  message(FATAL_ERROR "THRUMLINE_GNUSTEP_PROOF needs g++ with gobjc++ and libgnustep-base-dev")
endif()

# The pane's controller is plain Objective-C (gcc with gobjc); the backend,
# the stand-ins and the tests are Objective-C++.
if(NOT CMAKE_OBJC_COMPILER)
  find_program(THRUMLINE_OBJC_COMPILER gcc REQUIRED)
  set(CMAKE_OBJC_COMPILER "${THRUMLINE_OBJC_COMPILER}")
endif()
if(NOT CMAKE_OBJCXX_COMPILER)
  set(CMAKE_OBJCXX_COMPILER "${CMAKE_CXX_COMPILER}")
endif()
enable_language(OBJC OBJCXX)
set(CMAKE_OBJC_STANDARD 11)
set(CMAKE_OBJCXX_STANDARD 17)
set(CMAKE_OBJCXX_STANDARD_REQUIRED ON)
set(CMAKE_OBJCXX_EXTENSIONS OFF)
