# Toolchain for Thrumline.dylib: iPhone, iOS 7.0 and later.
#
# Linux: Debian's clang-22, lld-22, llvm-22 and libc++-22-dev with the
#   stand-in SDK in stand-in-sdk/; nothing to set. The library and the pane
#   are fat: an arm64 slice for iOS 7.0 and later (A7 to A11 phones) and an
#   arm64e slice for iOS 14.0 and later (A12 and later), each built apart and
#   joined with llvm-lipo (cmake/ios-slices.cmake).
# macOS with Xcode: Xcode's iphoneos SDK, linker and codesign; the library is
#   fat, arm64 and arm64e (every phone).
# IOS_SDK (environment): another SDK folder, used instead of the stand-in or
#   Xcode's. IOS_TOOLCHAIN_PREFIX (environment): the prefix of Apple's ld64
#   from cctools-port on Linux (e.g. arm64-apple-darwin-), for arm64e there.
set(CMAKE_SYSTEM_NAME iOS)
set(THRUMLINE_IOS_MIN_OS 7.0 CACHE STRING "Oldest iOS the library's arm64 slice loads on")

include("${CMAKE_CURRENT_LIST_DIR}/ios-tools.cmake")
if(THRUMLINE_IOS_MISSING)
  return()  # the top-level CMakeLists.txt says what to install
endif()

# Apple's linker builds both slices in one go. With LLVM's, each slice has
# targets of its own, its compiler target in its triple: no -arch and no
# version flag, which the arm64e slice's own triple would override.
if(THRUMLINE_IOS_APPLE_LINKER)
  set(CMAKE_OSX_DEPLOYMENT_TARGET ${THRUMLINE_IOS_MIN_OS} CACHE STRING "Oldest iOS the library loads on")
  set(CMAKE_OSX_ARCHITECTURES "arm64;arm64e" CACHE STRING "Architectures of Thrumline.dylib")
else()
  set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "Set by each slice's compiler target")
  set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "Set by each slice's compiler target")
endif()

if(DEFINED ENV{IOS_SDK})
  set(CMAKE_OSX_SYSROOT "$ENV{IOS_SDK}" CACHE PATH "iPhoneOS SDK")
elseif(CMAKE_HOST_APPLE)
  set(CMAKE_OSX_SYSROOT iphoneos CACHE STRING "iPhoneOS SDK")
else()
  set(CMAKE_OSX_SYSROOT "${THRUMLINE_IOS_STAND_IN_SDK}" CACHE PATH "iPhoneOS SDK")
endif()

if(NOT CMAKE_HOST_APPLE)
  # clang picks the phone by its target triple.
  foreach(lang C CXX OBJC OBJCXX)
    set(CMAKE_${lang}_COMPILER_TARGET arm64-apple-ios${THRUMLINE_IOS_MIN_OS})
  endforeach()
  set(CMAKE_C_COMPILER "${THRUMLINE_IOS_CLANG}")
  set(CMAKE_OBJC_COMPILER "${THRUMLINE_IOS_CLANG}")
  set(CMAKE_CXX_COMPILER "${THRUMLINE_IOS_CLANGXX}")
  set(CMAKE_OBJCXX_COMPILER "${THRUMLINE_IOS_CLANGXX}")
  set(CMAKE_AR "${THRUMLINE_IOS_AR}" CACHE FILEPATH "")
  set(CMAKE_RANLIB "${THRUMLINE_IOS_RANLIB}" CACHE FILEPATH "")
  set(CMAKE_INSTALL_NAME_TOOL "${THRUMLINE_IOS_INSTALL_NAME_TOOL}" CACHE FILEPATH "")
  set(CMAKE_CXX_FLAGS_INIT "-stdlib=libc++")
  set(CMAKE_OBJCXX_FLAGS_INIT "-stdlib=libc++")
  if(THRUMLINE_IOS_APPLE_LINKER)
    set(_thrumline_ld "--ld-path=${THRUMLINE_IOS_LINKER}")
  else()
    # By name, not by path: given a path, clang passes ld64's own options,
    # which lld refuses. -B says where ld64.lld lives.
    get_filename_component(_thrumline_ld_dir "${THRUMLINE_IOS_LINKER}" DIRECTORY)
    set(_thrumline_ld "-fuse-ld=lld -B${_thrumline_ld_dir}/")
  endif()
  foreach(kind SHARED MODULE EXE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-stdlib=libc++ ${_thrumline_ld}")
  endforeach()
  # The compiler checks stop at an archive: nothing to run or link here.
  set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
  set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
endif()
# Tools (ldid, codesign, dpkg-deb) run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
