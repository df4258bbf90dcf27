# Toolchain for Thrumline.dylib: iPhone, arm64, iOS 7.0 and later.
#
# macOS with Xcode: nothing to set; the iphoneos SDK comes from xcrun.
# A Linux iOS toolchain (clang, ld64 from cctools-port, an iPhoneOS SDK):
#   IOS_SDK                the SDK folder (…/iPhoneOS.sdk), required
#   IOS_TOOLCHAIN_PREFIX   prefix of the cctools (e.g. arm64-apple-darwin-), optional
# Either way the Substrate library to link comes from $THEOS/vendor/lib or
# -DTHRUMLINE_SUBSTRATE_LIBRARY=… (see host/ios/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME iOS)
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "Thrumline.dylib is arm64 only")
set(CMAKE_OSX_DEPLOYMENT_TARGET 7.0 CACHE STRING "Oldest iOS the library loads on")

if(DEFINED ENV{IOS_SDK})
  set(CMAKE_OSX_SYSROOT "$ENV{IOS_SDK}" CACHE PATH "iPhoneOS SDK")
elseif(CMAKE_HOST_APPLE)
  set(CMAKE_OSX_SYSROOT iphoneos CACHE STRING "iPhoneOS SDK")
else()
  message(FATAL_ERROR "Set IOS_SDK to an iPhoneOS SDK folder to build for iPhone on this system")
endif()

if(NOT CMAKE_HOST_APPLE)
  # clang picks the phone by its target triple; Apple's linker comes from cctools.
  set(_thrumline_triple arm64-apple-ios${CMAKE_OSX_DEPLOYMENT_TARGET})
  foreach(lang C CXX OBJCXX)
    set(CMAKE_${lang}_COMPILER_TARGET ${_thrumline_triple})
  endforeach()
  find_program(_thrumline_clang NAMES clang REQUIRED)
  find_program(_thrumline_clangxx NAMES clang++ REQUIRED)
  set(CMAKE_C_COMPILER "${_thrumline_clang}")
  set(CMAKE_CXX_COMPILER "${_thrumline_clangxx}")
  set(CMAKE_OBJCXX_COMPILER "${_thrumline_clangxx}")
  set(_thrumline_prefix "$ENV{IOS_TOOLCHAIN_PREFIX}")
  find_program(CMAKE_AR NAMES ${_thrumline_prefix}ar ar REQUIRED)
  find_program(CMAKE_RANLIB NAMES ${_thrumline_prefix}ranlib ranlib REQUIRED)
  find_program(CMAKE_INSTALL_NAME_TOOL NAMES ${_thrumline_prefix}install_name_tool install_name_tool REQUIRED)
  # Apple's ld64 (cctools-port) or LLVM's Mach-O linker; never the system's ld.
  if(_thrumline_prefix)
    find_program(_thrumline_ld64 NAMES ${_thrumline_prefix}ld ld64 ld64.lld REQUIRED)
  else()
    find_program(_thrumline_ld64 NAMES ld64 ld64.lld REQUIRED)
  endif()
  foreach(kind SHARED MODULE EXE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=${_thrumline_ld64}")
  endforeach()
  # Libraries and headers from the SDK only.
  set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
# Tools (ldid, codesign, dpkg-deb) run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

