# The phone build, from a Linux build of this tree: the ios-arm64 preset
# configured and built with every build (both Thrumline.dylib, the settings
# pane's bundle and both packages) as the target thrumline_phone. Included by
# the top-level CMakeLists.txt before the folders whose tests check what it
# builds (tweak/tests, pane, packaging, simulator/phone/tests); they find it
# as that target and its outputs as:
#   THRUMLINE_PHONE_DIR       its build folder
#   THRUMLINE_PHONE_rootful   the rootful Thrumline.dylib (fat)
#   THRUMLINE_PHONE_rootless  the rootless one
#   THRUMLINE_PHONE_PANE      the pane's executable (fat)
# and the LLVM tools that inspect them as THRUMLINE_LLVM_OBJDUMP, _NM, _OTOOL.
find_program(THRUMLINE_DPKG_DEB dpkg-deb)
# The ios-arm64 preset, configured and built with every build of this tree:
# both Thrumline.dylib, the settings pane's bundle and both packages, then
# inspected with LLVM's Mach-O tools.
include("${PROJECT_SOURCE_DIR}/cmake/ios-tools.cmake")
find_package(Python3 COMPONENTS Interpreter)
# LLVM 22's: older ones know neither arm64e nor chained fixups.
find_program(THRUMLINE_LLVM_OBJDUMP NAMES llvm-objdump-22)
find_program(THRUMLINE_LLVM_NM NAMES llvm-nm-22)
find_program(THRUMLINE_LLVM_OTOOL NAMES llvm-otool-22)
find_program(THRUMLINE_LLVM_LIPO NAMES llvm-lipo-22)
set(_phone_available ON)
foreach(need THRUMLINE_DPKG_DEB Python3_EXECUTABLE THRUMLINE_LLVM_OBJDUMP THRUMLINE_LLVM_NM
             THRUMLINE_LLVM_OTOOL THRUMLINE_LLVM_LIPO)
  if(NOT ${need})
    set(_phone_available OFF)
  endif()
endforeach()
if(THRUMLINE_IOS_MISSING OR CMAKE_HOST_APPLE)
  set(_phone_available OFF)
endif()
option(THRUMLINE_PHONE_BUILD
  "Build and check Thrumline.dylib and the settings pane (arm64 and arm64e) and both packages (needs clang-22, lld-22, llvm-22, libc++-22-dev, python3, dpkg)"
  ${_phone_available})
if(NOT THRUMLINE_PHONE_BUILD)
  message(STATUS "Phone build off (needs clang-22, lld-22, llvm-22, libc++-22-dev, python3, dpkg)")
  return()
endif()
if(NOT _phone_available)
  message(FATAL_ERROR "THRUMLINE_PHONE_BUILD: ${THRUMLINE_IOS_MISSING} "
                      "(and python3, dpkg and llvm-22's objdump, nm, otool and lipo)")
endif()

include(ExternalProject)
set(THRUMLINE_PHONE_DIR "${CMAKE_BINARY_DIR}/ios-arm64")
cmake_host_system_information(RESULT _jobs QUERY NUMBER_OF_LOGICAL_CORES)
ExternalProject_Add(thrumline_phone
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${THRUMLINE_PHONE_DIR}"
  CONFIGURE_COMMAND "${CMAKE_COMMAND}" -S "${PROJECT_SOURCE_DIR}" -B "${THRUMLINE_PHONE_DIR}"
                    --preset ios-arm64 "-DTHRUMLINE_WERROR=${THRUMLINE_WERROR}"
  # Its own jobs: make would not hand this command its job server.
  BUILD_COMMAND "${CMAKE_COMMAND}" -E env --unset=MAKEFLAGS
                "${CMAKE_COMMAND}" --build "${THRUMLINE_PHONE_DIR}" --target thrumline-deb
                --parallel ${_jobs}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)

set(THRUMLINE_PHONE_rootful "${THRUMLINE_PHONE_DIR}/tweak/Thrumline/Thrumline.dylib")
set(THRUMLINE_PHONE_rootless "${THRUMLINE_PHONE_DIR}/tweak/Thrumline-rootless/Thrumline.dylib")
set(THRUMLINE_PHONE_PANE "${THRUMLINE_PHONE_DIR}/pane/Thrumline.bundle/Thrumline")
