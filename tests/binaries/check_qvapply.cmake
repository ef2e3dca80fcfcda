# Checks a built qvapply.exe: it binds the patch library's entry by ordinal 1 with no name, needs
# no DLL beyond the system's and PATCHW32.DLL, is a GUI program, and carries its resources exactly.
# Usage: cmake -DOBJDUMP=... -DWINDRES=... -DEXE=... -DMACHINE=i386|x86-64 -P check_qvapply.cmake

function(fail message)
  message(FATAL_ERROR "${EXE}: ${message}")
endfunction()

function(expect_in text pattern what)
  string(FIND "${text}" "${pattern}" at)
  if(at EQUAL -1)
    fail("${what}: \"${pattern}\" not found")
  endif()
endfunction()

execute_process(COMMAND "${OBJDUMP}" -p "${EXE}" OUTPUT_VARIABLE headers RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("objdump failed")
endif()

if(MACHINE STREQUAL "i386")
  expect_in("${headers}" "file format pei-i386" "32-bit program")
endif()
string(REGEX MATCH "Subsystem[ \t]+0*2[ \t]" gui "${headers}")
if(NOT gui)
  fail("not a Windows GUI program")
endif()

# Every imported DLL, and what comes from PATCHW32.DLL.
string(REGEX MATCHALL "DLL Name: [^\n]+" dlls "${headers}")
set(allowed "KERNEL32.dll;USER32.dll;COMCTL32.DLL;GDI32.dll;msvcrt.dll;ADVAPI32.dll;PATCHW32.DLL")
set(found_patch OFF)
foreach(line IN LISTS dlls)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOUPPER "${dll}" upper)
  set(ok OFF)
  foreach(a IN LISTS allowed)
    string(TOUPPER "${a}" a)
    if(upper STREQUAL a)
      set(ok ON)
    endif()
  endforeach()
  if(NOT ok)
    fail("imports ${dll}, which is not a system DLL")
  endif()
  if(dll STREQUAL "PATCHW32.DLL")
    set(found_patch ON)
  endif()
endforeach()
if(NOT found_patch)
  fail("does not import PATCHW32.DLL")
endif()

# The PATCHW32.DLL block lists exactly one entry: ordinal 1, no name.
string(REGEX MATCH "DLL Name: PATCHW32.DLL\n[^\n]*\n((\t[^\n]*\n)*)" block "${headers}")
set(entries "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\t[0-9a-f]+\t[^\n]*" rows "${entries}")
list(LENGTH rows count)
if(NOT count EQUAL 1)
  fail("expected one import from PATCHW32.DLL, found ${count}: ${entries}")
endif()
list(GET rows 0 row)
if(MACHINE STREQUAL "i386")
  set(ordinal_flag "80000001")
else()
  set(ordinal_flag "8000000000000001")
endif()
if(NOT row MATCHES "\t${ordinal_flag}\t +0*1 +<none>")
  fail("PATCHW32.DLL entry is not bound by ordinal 1 without a name: ${row}")
endif()

# Resources: template 102, icon group 128 (32x32 and 16x16 in 16 colours), the version record.
execute_process(COMMAND "${WINDRES}" -i "${EXE}" -O rc OUTPUT_VARIABLE rc_text RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  fail("windres could not read the resources")
endif()
set(expected_template
"102 DIALOGEX 0, 0, 300, 97
STYLE 0x90c800c0
EXSTYLE 0x40000
CAPTION \"Updating Quorvane\"
FONT 8, \"MS Sans Serif\", 400, 0, 1
BEGIN
  CONTROL \"Progress1\", 1000, \"MSCTLS_PROGRESS32\", 0x50800000, 27, 53, 247, 11
  LTEXT \"\", 1002, 46, 39, 226, 8, 0x50020000
  PUSHBUTTON \"Cancel\", 2, 119, 72, 68, 14, 0x50010000
  LTEXT \"Updating Quorvane at:\", -1, 27, 19, 77, 8, 0x50020000
  LTEXT \"File: \", -1, 27, 39, 16, 8, 0x50020000
  LTEXT \"\", 1004, 109, 19, 173, 8, 0x50020000
END")
expect_in("${rc_text}" "${expected_template}" "window template 102")
expect_in("${rc_text}" "128 14 /* RT_GROUP_ICON */" "icon group 128")
expect_in("${rc_text}" "\"\\040\\040\\020\\000\", 1, 4," "32x32 16-colour icon")
expect_in("${rc_text}" "\"\\020\\020\\020\\000\", 1, 4," "16x16 16-colour icon")
expect_in("${rc_text}" " FILEVERSION 1, 0, 0, 1\n PRODUCTVERSION 1, 0, 0, 1" "version numbers")
expect_in("${rc_text}" "BLOCK \"040904b0\"" "US English, Unicode string block")
expect_in("${rc_text}" "VALUE \"InternalName\", \"qvapply\"" "internal name")
expect_in("${rc_text}" "VALUE \"Translation\", 0x409, 1200" "translation")
message(STATUS "${EXE}: imports, subsystem and resources as expected")
