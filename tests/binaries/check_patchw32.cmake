# Checks a built PATCHW32.DLL: one export, by ordinal 1 with no name, and no DLL needed beyond the
# system's, so that a kit ships this one file.
# Usage: cmake -DOBJDUMP=... -DDLL=... -P check_patchw32.cmake

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${DLL}: objdump failed")
endif()
if(NOT headers MATCHES "Ordinal Base[ \t]+1\n" OR NOT headers MATCHES "Export Address Table[ \t]+00000001\n"
   OR NOT headers MATCHES "\\[Name Pointer/Ordinal\\] Table[ \t]+00000000\n")
  message(FATAL_ERROR "${DLL}: does not export exactly one entry, by ordinal 1 without a name")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
foreach(line IN LISTS dlls)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(TOUPPER "${dll}" dll)
  if(NOT dll MATCHES "^(KERNEL32|USER32|ADVAPI32|MSVCRT|WS2_32|GDI32)\\.DLL$")
    message(FATAL_ERROR "${DLL}: imports ${dll}, which is not a system DLL")
  endif()
endforeach()
message(STATUS "${DLL}: exports and imports as expected")
