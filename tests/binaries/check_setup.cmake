# Checks a built setup.exe: a GUI program that needs only system DLLs and calls the platform's
# profile, registry, program-start and message-box functions.
# Usage: cmake -DOBJDUMP=... -DEXE=... -DMACHINE=i386|x86-64 -P check_setup.cmake

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${EXE}: objdump failed")
endif()
if(MACHINE STREQUAL "i386" AND NOT headers MATCHES "file format pei-i386")
  message(FATAL_ERROR "${EXE}: not a 32-bit program")
endif()
if(NOT headers MATCHES "Subsystem[ \t]+0*2[ \t]")
  message(FATAL_ERROR "${EXE}: not a Windows GUI program")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
foreach(line IN LISTS dlls)
  string(REGEX REPLACE "DLL Name: *" "" dll "${line}")
  string(TOUPPER "${dll}" dll)
  if(NOT dll MATCHES "^(KERNEL32|USER32|ADVAPI32|MSVCRT|GDI32)\\.DLL$")
    message(FATAL_ERROR "${EXE}: imports ${dll}, which is not a system DLL")
  endif()
endforeach()
foreach(function GetPrivateProfileStringA WritePrivateProfileStringA RegQueryValueA WinExec MessageBoxA
                 GetUserDefaultLangID FindFirstFileA MoveFileA RemoveDirectoryA)
  if(NOT headers MATCHES "[ \t]${function}\n")
    message(FATAL_ERROR "${EXE}: does not import ${function}")
  endif()
endforeach()
message(STATUS "${EXE}: imports and subsystem as expected")
