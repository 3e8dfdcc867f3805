# The library's exports come from one list: client/api/DravolinClient.def, the module-definition
# file that links the i386 DLL (one line "_<name>@<bytes> = <name>@<bytes>" per export).
# Everything else that names the exports is made from it here:
#   - the .def that links the x64 DLL: x64 has one calling convention and no decoration, so
#     the DLL exports the plain names;
#   - the consumer .def (shipped, and the source of the mingw import library): dlltool -d turns
#     it into an import library whose references resolve to the names as exported;
#   - the C source of a stub DLL for the Microsoft toolchain's import library (clang-cl and
#     lld-link: the same import objects a Visual Studio link of the DLL would produce);
#   - the version script of the native library (the plain names).
include_guard(GLOBAL)

# Rewrites a generated file only when its text changes, so that nothing rebuilds needlessly.
function(dravolin_write_if_changed output text)
  file(WRITE ${output}.new "${text}")
  file(COPY_FILE ${output}.new ${output} ONLY_IF_DIFFERENT)
  file(REMOVE ${output}.new)
endfunction()

# dravolin_read_exports(<def file> <out list>): "<name>@<bytes>" per export, in file order.
function(dravolin_read_exports def out)
  if(NOT CMAKE_SCRIPT_MODE_FILE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${def}) # edits reconfigure
  endif()
  file(STRINGS ${def} lines REGEX "^[ \t]*_[A-Za-z0-9_]+@[0-9]+[ \t]*=")
  set(exports)
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*_([A-Za-z0-9_]+@[0-9]+).*" "\\1" export "${line}")
    list(APPEND exports ${export})
  endforeach()
  if(NOT exports)
    message(FATAL_ERROR "${def} lists no exports")
  endif()
  set(${out} ${exports} PARENT_SCOPE)
endfunction()

# dravolin_plain_def(<exports> <dll name> <output file> <comment>): the plain names, one a line
# (the x64 DLL's own .def and its consumer .def).
function(dravolin_plain_def exports dll output comment)
  set(text "${comment}LIBRARY ${dll}\nEXPORTS\n")
  foreach(export IN LISTS exports)
    string(REGEX REPLACE "@[0-9]+$" "" name "${export}")
    string(APPEND text "    ${name}\n")
  endforeach()
  dravolin_write_if_changed(${output} "${text}")
endfunction()

# dravolin_consumer_def(<exports> <dll name> <output file>): the i386 consumer .def
function(dravolin_consumer_def exports dll output)
  set(text "; Import definitions of ${dll} (x86) for mingw-w64:\n")
  string(APPEND text ";   i686-w64-mingw32-dlltool -d DravolinClient.def -l libDravolinClient.dll.a\n")
  string(APPEND text "; Each line maps the name a caller's object references (the standard-call\n")
  string(APPEND text "; name) to the name the DLL exports (the same with a leading underscore).\n")
  string(APPEND text "LIBRARY ${dll}\nEXPORTS\n")
  foreach(export IN LISTS exports)
    string(APPEND text "    ${export} == _${export}\n")
  endforeach()
  dravolin_write_if_changed(${output} "${text}")
endfunction()

# dravolin_stub_source(<exports> <output file>): one empty standard-call function per export,
# exported by the compiler under its decorated name, with as many 4-byte arguments as the
# decoration counts.
function(dravolin_stub_source exports output)
  set(text "/* Generated: the export list of DravolinClient.dll, for its import library only. */\n")
  foreach(export IN LISTS exports)
    string(REGEX MATCH "^([A-Za-z0-9_]+)@([0-9]+)$" unused "${export}")
    set(name ${CMAKE_MATCH_1})
    math(EXPR count "${CMAKE_MATCH_2} / 4")
    set(args "void")
    if(count GREATER 0)
      set(args)
      math(EXPR last "${count} - 1")
      foreach(i RANGE ${last})
        list(APPEND args "int a${i}")
      endforeach()
      list(JOIN args ", " args)
    endif()
    string(APPEND text "__declspec(dllexport) void __stdcall ${name}(${args}) {}\n")
  endforeach()
  dravolin_write_if_changed(${output} "${text}")
endfunction()

# dravolin_version_script(<exports> <output file>): the plain names global, everything else local.
function(dravolin_version_script exports output)
  set(text "{\n  global:\n")
  foreach(export IN LISTS exports)
    string(REGEX REPLACE "@[0-9]+$" "" name "${export}")
    string(APPEND text "    ${name};\n")
  endforeach()
  string(APPEND text "  local:\n    *;\n};\n")
  dravolin_write_if_changed(${output} "${text}")
endfunction()
