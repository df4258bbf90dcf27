# Finds the tools of the phone build. Included by the toolchain
# (ios-arm64.cmake) and, before project(), by the top-level CMakeLists.txt,
# which stops with one line naming the Debian package of a missing tool.
#
# Sets THRUMLINE_IOS_APPLE_LINKER (Apple's ld64: Xcode, or cctools-port with
# IOS_TOOLCHAIN_PREFIX) and THRUMLINE_IOS_MISSING (empty when all is there).
set(THRUMLINE_IOS_MISSING "")
set(THRUMLINE_IOS_STAND_IN_SDK "${CMAKE_CURRENT_LIST_DIR}/../stand-in-sdk/iPhoneOS.sdk")
get_filename_component(THRUMLINE_IOS_STAND_IN_SDK "${THRUMLINE_IOS_STAND_IN_SDK}" ABSOLUTE)

if(CMAKE_HOST_APPLE)
  set(THRUMLINE_IOS_APPLE_LINKER ON)
  return()
endif()

macro(_thrumline_need var package)
  if(NOT ${var} AND NOT THRUMLINE_IOS_MISSING)
    set(THRUMLINE_IOS_MISSING
        "The iPhone build needs ${ARGN}: apt-get install ${package}")
  endif()
endmacro()

# LLVM 22 (Debian 12's bookworm-security) for both slices: it compiles the
# arm64e pointer-authentication ABI, which clang-14 knows nothing of, and its
# libc++ headers cannot be installed beside libc++-14-dev (the packages
# conflict), so one LLVM builds everything.
set(_thrumline_llvm /usr/lib/llvm-22/bin)
set(_thrumline_prefix "$ENV{IOS_TOOLCHAIN_PREFIX}")
# Debian's clang-22 from its own folder, where it also finds ld64.lld.
find_program(THRUMLINE_IOS_CLANGXX NAMES clang++ PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_CLANGXX NAMES clang++-22)
find_program(THRUMLINE_IOS_CLANG NAMES clang PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_CLANG NAMES clang-22)
_thrumline_need(THRUMLINE_IOS_CLANGXX clang-22 "clang++")
_thrumline_need(THRUMLINE_IOS_CLANG clang-22 "clang")

if(_thrumline_prefix)
  set(THRUMLINE_IOS_APPLE_LINKER ON)
  find_program(THRUMLINE_IOS_LINKER NAMES ${_thrumline_prefix}ld)
  find_program(THRUMLINE_IOS_AR NAMES ${_thrumline_prefix}ar)
  find_program(THRUMLINE_IOS_RANLIB NAMES ${_thrumline_prefix}ranlib)
  find_program(THRUMLINE_IOS_INSTALL_NAME_TOOL NAMES ${_thrumline_prefix}install_name_tool)
  if(NOT THRUMLINE_IOS_LINKER)
    set(THRUMLINE_IOS_MISSING
        "IOS_TOOLCHAIN_PREFIX is set, but ${_thrumline_prefix}ld (Apple's ld64) is not on PATH")
  endif()
else()
  set(THRUMLINE_IOS_APPLE_LINKER OFF)
  # Only in LLVM's own folder on Debian; clang finds it by -fuse-ld=lld.
  find_program(THRUMLINE_IOS_LINKER NAMES ld64.lld PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
  find_program(THRUMLINE_IOS_LINKER NAMES ld64.lld-22)
  _thrumline_need(THRUMLINE_IOS_LINKER lld-22 "LLVM's Mach-O linker ld64.lld")
endif()
find_program(THRUMLINE_IOS_AR NAMES llvm-ar PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_RANLIB NAMES llvm-ranlib PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_INSTALL_NAME_TOOL NAMES llvm-install-name-tool
             PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_LIPO NAMES llvm-lipo PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_OBJDUMP NAMES llvm-objdump PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
find_program(THRUMLINE_IOS_OBJCOPY NAMES llvm-objcopy PATHS ${_thrumline_llvm} NO_DEFAULT_PATH)
_thrumline_need(THRUMLINE_IOS_AR llvm-22 "llvm-ar")
_thrumline_need(THRUMLINE_IOS_RANLIB llvm-22 "llvm-ranlib")
_thrumline_need(THRUMLINE_IOS_INSTALL_NAME_TOOL llvm-22 "llvm-install-name-tool")
_thrumline_need(THRUMLINE_IOS_LIPO llvm-22 "llvm-lipo")
_thrumline_need(THRUMLINE_IOS_OBJDUMP llvm-22 "llvm-objdump")
_thrumline_need(THRUMLINE_IOS_OBJCOPY llvm-22 "llvm-objcopy")

# libc++'s headers: the SDK's own, else Debian's beside clang. Debian's clang
# would otherwise reach for libstdc++.
if(THRUMLINE_IOS_CLANGXX)
  get_filename_component(_thrumline_clang_dir "${THRUMLINE_IOS_CLANGXX}" REALPATH)
  get_filename_component(_thrumline_clang_dir "${_thrumline_clang_dir}" DIRECTORY)
  set(_thrumline_sdk "$ENV{IOS_SDK}")
  if(NOT _thrumline_sdk)
    set(_thrumline_sdk "${THRUMLINE_IOS_STAND_IN_SDK}")
  endif()
  if(NOT EXISTS "${_thrumline_sdk}/usr/include/c++/v1/cstdint"
     AND NOT EXISTS "${_thrumline_clang_dir}/../include/c++/v1/cstdint")
    _thrumline_need(FALSE libc++-22-dev "libc++'s headers")
  endif()
endif()
