# The Windows SDK package (x86 or x64, ARCH) as a user gets it: makes the CPack ZIP, unpacks it and, from the
# unpacked files only,
#   - checks that it holds exactly the files its README names;
#   - checks that the DLL and programs carry no debug sections but a debug link to a .debug
#     file beside them, and a version resource with the project version (read under Wine by
#     the version probe, through GetFileVersionInfo);
#   - builds the project README's C example, examples/list_devices.c and consumer_no_crt.c
#     with mingw-w64, once against the shipped import library and once against one that
#     dlltool makes from the shipped .def, and consumer_no_crt.c with clang-cl and lld-link for
#     the Microsoft ABI against DravolinClient.lib (x86: with safe exception handlers on); all
#     run under Wine and must end with 0.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DCPACK=... -DVERSION=...
#         -DEMULATOR=... -DPROBE=... -DCC=... -DDLLTOOL=... -DOBJDUMP=...
#         -DCLANG_CL=... -DLLD_LINK=... -DARCH=x86|x64 -P package_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
    WORKING_DIRECTORY "${cwd}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Runs a Windows program under Wine in the build's own prefix.
function(run_win32 program)
  set(ENV{DRAVOLIN_WINEPREFIX} "${BUILD_DIR}/wineprefix")
  set(ENV{DRAVOLIN_WINEPREFIX_FIXED} 1)
  set(cwd "${WORK_DIR}")
  run(${EMULATOR} ${program} ${ARGN})
  set(run_output "${run_output}" PARENT_SCOPE)
endfunction()

set(cwd "${WORK_DIR}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")

# The package.
run(${CPACK} -G ZIP -B "${WORK_DIR}/cpack" --config "${BUILD_DIR}/CPackConfig.cmake")
file(GLOB zips "${WORK_DIR}/cpack/*.zip")
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "cpack made ${count} ZIPs: ${zips}")
endif()
file(SIZE "${zips}" zip_size)
message(STATUS "package ${zips}: ${zip_size} bytes")
file(MAKE_DIRECTORY "${WORK_DIR}/unpacked")
set(cwd "${WORK_DIR}/unpacked")
run(${CMAKE_COMMAND} -E tar xf "${zips}")
file(GLOB pkg "${WORK_DIR}/unpacked/*")
list(LENGTH pkg count)
if(NOT count EQUAL 1 OR NOT IS_DIRECTORY "${pkg}")
  message(FATAL_ERROR "the ZIP should hold one top folder, holds: ${pkg}")
endif()
set(cwd "${WORK_DIR}")

# Exactly the files the README names (its indented list under "What is inside").
file(READ "${pkg}/README.txt" readme)
if(NOT readme MATCHES "What is inside\n-+\n\n(([ ]+[^\n]+\n)+)")
  message(FATAL_ERROR "README.txt has no list under \"What is inside\"")
endif()
string(REGEX MATCHALL "\n    [^ \n]+" named "\n${CMAKE_MATCH_1}")
string(REGEX REPLACE "\n    " "" named "${named}")
list(SORT named)
file(GLOB_RECURSE shipped LIST_DIRECTORIES false RELATIVE "${pkg}" "${pkg}/*")
list(SORT shipped)
if(NOT named STREQUAL shipped)
  set(missing ${named})
  list(REMOVE_ITEM missing ${shipped})
  set(unnamed ${shipped})
  list(REMOVE_ITEM unnamed ${named})
  message(FATAL_ERROR "the package and its README disagree\n"
    "named but not shipped: ${missing}\nshipped but not named: ${unnamed}")
endif()

# Release binaries: no debug sections, a debug link to the .debug file beside them.
set(binaries bin/DravolinClient.dll bin/dravolinctl.exe bin/DravolinIPSecCfg.exe
  bin/DravolinIPSecCfg.com)
foreach(binary IN LISTS binaries)
  file(SIZE "${pkg}/${binary}" size)
  message(STATUS "${binary}: ${size} bytes")
  run(${OBJDUMP} -h "${pkg}/${binary}")
  if(run_output MATCHES "\\.debug_")
    message(FATAL_ERROR "${binary} carries debug sections:\n${run_output}")
  endif()
  if(NOT run_output MATCHES "\\.gnu_debuglink")
    message(FATAL_ERROR "${binary} has no debug link:\n${run_output}")
  endif()
  # objdump follows the link only to a file of that name whose checksum matches.
  run(${OBJDUMP} --dwarf=follow-links --dwarf=aranges "${pkg}/${binary}")
  string(FIND "${run_output}" "(loaded from ${pkg}/${binary}.debug)" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the debug link of ${binary} does not lead to ${binary}.debug:\n"
      "${run_output}")
  endif()
endforeach()

# Version resources, as Windows reads them.
set(probe_args)
foreach(binary IN LISTS binaries)
  list(APPEND probe_args "${pkg}/${binary}")
endforeach()
run_win32("${PROBE}" ${probe_args})
string(REPLACE "\r" "" probe_output "${run_output}")
foreach(binary IN LISTS binaries)
  get_filename_component(name "${binary}" NAME)
  string(FIND "${probe_output}" "${binary}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the version probe did not report ${binary}:\n${probe_output}")
  endif()
  string(SUBSTRING "${probe_output}" ${at} -1 report)
  string(REGEX REPLACE "^[^\n]*\n((  [^\n]*\n)*).*" "\\1" report "${report}")
  foreach(expected
      "FixedFileVersion=${VERSION}.0" "FixedProductVersion=${VERSION}.0"
      "FileVersion=${VERSION}" "ProductVersion=${VERSION}" "OriginalFilename=${name}"
      "ProductName=Dravolin client software" "FileDescription=Dravolin ")
    if(NOT report MATCHES "\n?  ${expected}")
      message(FATAL_ERROR "version resource of ${binary}: no \"${expected}\":\n${report}")
    endif()
  endforeach()
endforeach()

# Consumers, from the package only. Each gets a folder with the DLL beside its program.
file(READ "${SOURCE_DIR}/README.md" project_readme)
if(NOT project_readme MATCHES "```c\n([^`]*)```")
  message(FATAL_ERROR "README.md has no C example")
endif()
file(WRITE "${WORK_DIR}/readme_example.c" "${CMAKE_MATCH_1}")

# The README's example and list_devices.c with the C runtime; consumer_no_crt.c calls every
# export through the import library, so any import name that is wrong stops it from loading.
function(check_mingw_consumer dir import_library)
  file(MAKE_DIRECTORY "${dir}")
  file(COPY "${pkg}/bin/DravolinClient.dll" DESTINATION "${dir}")
  set(cc ${CC} -Wall -Werror -I "${pkg}/include")
  foreach(source "${WORK_DIR}/readme_example.c" "${pkg}/examples/list_devices.c")
    get_filename_component(program "${source}" NAME_WE)
    run(${cc} "${source}" "${import_library}" -o "${dir}/${program}.exe")
  endforeach()
  set(entry _start) # x86 C symbols carry a leading underscore, x64 ones do not
  if(ARCH STREQUAL "x64")
    set(entry start)
  endif()
  run(${cc} -nostdlib -e ${entry} "${SOURCE_DIR}/tests/ctl/consumer_no_crt.c" "${import_library}"
    -lkernel32 -o "${dir}/consumer_no_crt.exe")
  # Nothing listens on the example's port: it connects, fails, frees, and ends with 0.
  run_win32("${dir}/readme_example.exe")
  run_win32("${dir}/list_devices.exe")
  if(NOT run_output MATCHES "DravolinClient version 20050118")
    message(FATAL_ERROR "${dir}/list_devices.exe printed:\n${run_output}")
  endif()
  run_win32("${dir}/consumer_no_crt.exe")
endfunction()

check_mingw_consumer("${WORK_DIR}/mingw-shipped" "${pkg}/lib/DravolinClient.dll.a")

file(MAKE_DIRECTORY "${WORK_DIR}/mingw-dlltool")
run(${DLLTOOL} -d "${pkg}/lib/DravolinClient.def" -l "${WORK_DIR}/mingw-dlltool/libDravolinClient.dll.a")
check_mingw_consumer("${WORK_DIR}/mingw-dlltool" "${WORK_DIR}/mingw-dlltool/libDravolinClient.dll.a")

# The Microsoft ABI. kernel32.lib comes from a stub as well (Debian has no Windows SDK); both
# tools get relative paths, since they would read an absolute Unix path as an option.
set(msvc "${WORK_DIR}/msvc")
file(MAKE_DIRECTORY "${msvc}")
file(COPY "${pkg}/bin/DravolinClient.dll" "${pkg}/include/DravolinClient.h"
  "${pkg}/lib/DravolinClient.lib" "${SOURCE_DIR}/tests/ctl/consumer_no_crt.c" DESTINATION "${msvc}")
file(WRITE "${msvc}/kernel32.c"
  "void __stdcall ExitProcess(unsigned c) { (void)c; }\n"
  "void* __stdcall GetModuleHandleA(const char* n) { (void)n; return 0; }\n"
  "void* __stdcall GetProcAddress(void* m, const char* n) { (void)m; (void)n; return 0; }\n")
file(WRITE "${msvc}/kernel32.def"
  "LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess\n    GetModuleHandleA\n    GetProcAddress\n")
set(cwd "${msvc}")
if(ARCH STREQUAL "x64")
  set(msvc_target x86_64-pc-windows-msvc)
  set(machine x64)
  set(safeseh) # x64 has table-based exception handling: /safeseh is an x86 option
else()
  set(msvc_target i686-pc-windows-msvc)
  set(machine x86)
  set(safeseh /safeseh)
endif()
set(clang_cl ${CLANG_CL} --target=${msvc_target} /nologo /c /GS- /W4 /WX)
run(${clang_cl} /Fokernel32.obj -- kernel32.c)
run(${LLD_LINK} /nologo /dll /noentry /nodefaultlib /machine:${machine} /def:kernel32.def
  /out:kernel32.dll /implib:kernel32.lib kernel32.obj)
file(REMOVE "${msvc}/kernel32.dll")
run(${clang_cl} /I. /Foconsumer_no_crt.obj -- consumer_no_crt.c)
run(${LLD_LINK} /nologo /machine:${machine} ${safeseh} /subsystem:console /entry:start
  /nodefaultlib /out:consumer_no_crt.exe consumer_no_crt.obj DravolinClient.lib kernel32.lib)
run_win32("${msvc}/consumer_no_crt.exe")

message(STATUS "package test passed")
