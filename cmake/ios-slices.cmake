# The two slices of the phone build with LLVM's linker (Debian's LLVM 22),
# each from objects of its own, joined into one fat file:
#   arm64   A7 to A11 phones, iOS THRUMLINE_IOS_MIN_OS (7.0) and later, the
#           toolchain's own target;
#   arm64e  A12 and later, iOS 14.0 and later, the pointer-authentication
#           ABI. iOS 12 and 13 used an earlier arm64e ABI: not served.
# Included by the top-level CMakeLists.txt for iOS. Apple's linker builds
# both slices in one go (CMAKE_OSX_ARCHITECTURES): then there is one
# "slice", fat, and the functions below do what a plain build does.
if(THRUMLINE_IOS_APPLE_LINKER)
  set(THRUMLINE_IOS_SLICES fat)
else()
  set(THRUMLINE_IOS_SLICES arm64 arm64e)
endif()
set(THRUMLINE_IOS_ARM64E_MIN_OS 14.0)
set(_thrumline_slices_dir "${CMAKE_CURRENT_LIST_DIR}")

# thrumline_ios_slice_objects(TARGET SLICE): TARGET's objects are SLICE's.
function(thrumline_ios_slice_objects target slice)
  if(slice STREQUAL "arm64e")
    target_compile_options(${target} PRIVATE
      "--target=arm64e-apple-ios${THRUMLINE_IOS_ARM64E_MIN_OS}")
  endif()
endfunction()

# thrumline_ios_slice_target(TARGET_VAR FOLDER_VAR NAME FOLDER SLICE): the
# name and output folder of NAME's target for SLICE: NAME-SLICE in
# FOLDER/SLICE, or NAME in FOLDER for the fat build.
function(thrumline_ios_slice_target target_var folder_var name folder slice)
  if(slice STREQUAL "fat")
    set(${target_var} ${name} PARENT_SCOPE)
    set(${folder_var} "${folder}" PARENT_SCOPE)
  else()
    set(${target_var} ${name}-${slice} PARENT_SCOPE)
    set(${folder_var} "${folder}/${slice}" PARENT_SCOPE)
  endif()
endfunction()

# thrumline_ios_slice_link(TARGET SLICE OBJECTS): TARGET, a library of
# SLICE linked from the object library OBJECTS, linked and signed. Call it
# after TARGET's other POST_BUILD steps.
#
# ld64.lld-22 given -arch arm64e writes cpusubtype ALL and classic dyld
# opcodes, which an arm64e image cannot use, and refuses -fixup_chains. So
# the arm64e slice is linked as arm64 for iOS 14.0 with chained fixups (the
# objects keep their pointer-authentication code), then marked arm64e and
# signed again over its final bytes. Its read-only data stays in __DATA, as
# in the arm64 slice: a __DATA_CONST segment of its own would cost a 16 KiB
# page (docs/performance.md). The linker cannot link a signed pointer
# in static data (a type-11 relocation) and does not say where one is: the
# check before the link names each one.
function(thrumline_ios_slice_link target slice objects)
  if(slice STREQUAL "arm64e")
    target_link_options(${target} PRIVATE
      "--target=arm64-apple-ios${THRUMLINE_IOS_ARM64E_MIN_OS}" "LINKER:-fixup_chains"
      "LINKER:-no_data_const")
    add_custom_command(TARGET ${target} PRE_LINK
      COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${THRUMLINE_IOS_OBJDUMP}"
              -P "${_thrumline_slices_dir}/check-signed-pointers.cmake"
              "$<TARGET_OBJECTS:${objects}>"
      COMMAND_EXPAND_LISTS VERBATIM)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND sh "${_thrumline_slices_dir}/mark-arm64e.sh" "$<TARGET_FILE:${target}>"
              "${THRUMLINE_IOS_OBJCOPY}"
      VERBATIM)
  endif()
  thrumline_ios_sign(${target})
endfunction()

# thrumline_ios_fat(TARGET OUTPUT SLICE_TARGET...): OUTPUT, the slices
# joined, built by TARGET (which the fat build already is).
function(thrumline_ios_fat target output)
  if(THRUMLINE_IOS_APPLE_LINKER)
    return()
  endif()
  set(files)
  foreach(slice_target IN LISTS ARGN)
    list(APPEND files "$<TARGET_FILE:${slice_target}>")
  endforeach()
  get_filename_component(folder "${output}" DIRECTORY)
  add_custom_command(OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${folder}"
    COMMAND "${THRUMLINE_IOS_LIPO}" -create ${files} -output "${output}"
    DEPENDS ${ARGN}
    COMMENT "Joining the slices into ${output}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${output}")
endfunction()
