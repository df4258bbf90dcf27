# Runs TOOL (with OPTIONS, if any) on SCENARIO and compares its standard output with EXPECTED,
# byte for byte. The run must exit with 0. The output is kept in ACTUAL.
# With PHONE, the tool runs that phone binary under emulation instead: its
# SLICE (arm64 or arm64e) when given.
# With SVG, the picture --svg draws is compared instead of the output.
set(phone_args)
if(PHONE)
  set(phone_args --phone ${PHONE})
  if(SLICE)
    list(APPEND phone_args --slice ${SLICE})
  endif()
endif()
set(output ${ACTUAL})
if(SVG)
  set(OPTIONS ${OPTIONS} --svg ${ACTUAL})
  set(output ${ACTUAL}.out)
endif()
execute_process(
  COMMAND ${TOOL} ${phone_args} ${OPTIONS} ${SCENARIO}
  OUTPUT_FILE ${output}
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "thrumline-sim exited with ${status}:\n${errors}")
endif()
execute_process(
  COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED} ${ACTUAL}
  RESULT_VARIABLE different)
if(different)
  execute_process(COMMAND diff -u ${EXPECTED} ${ACTUAL} OUTPUT_VARIABLE difference)
  message(FATAL_ERROR "output differs from ${EXPECTED} (kept in ${ACTUAL}):\n${difference}")
endif()
