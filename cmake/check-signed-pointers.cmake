# Fails, naming each object file, place and symbol, when an arm64e object
# holds a signed pointer in static data (ARM64_RELOC_AUTHENTICATED_POINTER,
# relocation type 11): ld64.lld refuses them with "INVALID relocation has
# invalid width of 8 bytes" and says nowhere where they are. A virtual
# table, a constant holding a function pointer, a global block, Objective-C
# class metadata and @"..." strings each make one; build them at run time.
# Usage: cmake -DOBJDUMP=llvm-objdump -P check-signed-pointers.cmake OBJECT...
set(found "")
math(EXPR last "${CMAKE_ARGC} - 1")
set(first 0)
foreach(i RANGE 0 ${last})
  if(CMAKE_ARGV${i} STREQUAL "-P")
    math(EXPR first "${i} + 2")
  endif()
endforeach()
if(first EQUAL 0 OR first GREATER last)
  message(FATAL_ERROR "usage: cmake -DOBJDUMP=TOOL -P check-signed-pointers.cmake OBJECT...")
endif()
foreach(i RANGE ${first} ${last})
  set(object "${CMAKE_ARGV${i}}")
  execute_process(COMMAND "${OBJDUMP}" --macho -r "${object}"
                  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} --macho -r ${object} failed: ${errors}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(section "?")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Relocation information \\(([^)]+)\\)")
      set(section "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^([0-9a-f]+) .* 11 \\(\\?\\) +[A-Za-z]+ +(.+)$")
      string(APPEND found "\n  ${object}: ${section}+0x${CMAKE_MATCH_1}: "
                          "a signed pointer to ${CMAKE_MATCH_2}")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "arm64e objects hold signed pointers in static data (relocation type 11, "
                      "ARM64_RELOC_AUTHENTICATED_POINTER), which ld64.lld cannot link; make "
                      "them at run time:${found}")
endif()
