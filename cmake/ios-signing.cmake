# Ad-hoc signing for every binary of the phone build: jailbroken arm64
# devices refuse unsigned code. ldid or codesign sign when present; without
# them LLVM's linker does. Apple's linker cannot, so it needs one of the two.
find_program(THRUMLINE_LDID ldid)
find_program(THRUMLINE_CODESIGN codesign)
if(THRUMLINE_LDID)
  set(THRUMLINE_IOS_SIGN "${THRUMLINE_LDID}" -S)
elseif(THRUMLINE_CODESIGN)
  set(THRUMLINE_IOS_SIGN "${THRUMLINE_CODESIGN}" --force --sign -)
elseif(NOT THRUMLINE_IOS_APPLE_LINKER)
  set(THRUMLINE_IOS_SIGN "")
else()
  message(FATAL_ERROR "The phone's binaries must be signed: install ldid or codesign")
endif()

# thrumline_ios_sign(TARGET): TARGET signed once built, after the POST_BUILD
# steps added before this call, which would break a signature made earlier.
function(thrumline_ios_sign target)
  if(THRUMLINE_IOS_SIGN)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${THRUMLINE_IOS_SIGN} "$<TARGET_FILE:${target}>" VERBATIM)
  else()
    target_link_options(${target} PRIVATE "LINKER:-adhoc_codesign")
  endif()
endfunction()
