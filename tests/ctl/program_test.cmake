# Runs the built dravolinctl program itself (under Wine for Win32): exit codes and the
# one-line messages reach the caller through main().
#   cmake -DPROGRAM=... [-DEMULATOR=...] -P program_test.cmake
cmake_minimum_required(VERSION 3.25)

# Standard input of the program: this file (empty unless a check sets it).
set(input_file "${CMAKE_CURRENT_BINARY_DIR}/dravolinctl-program-test-input.txt")
file(WRITE "${input_file}" "")

function(check expected_rc stream pattern)
  execute_process(COMMAND ${EMULATOR} ${PROGRAM} ${ARGN} INPUT_FILE "${input_file}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
  string(REPLACE "\r" "" out "${out}")
  string(REPLACE "\r" "" err "${err}")
  if(NOT rc STREQUAL "${expected_rc}")
    message(FATAL_ERROR "dravolinctl ${ARGN}: exit ${rc}, expected ${expected_rc}\n${out}\n${err}")
  endif()
  if(stream STREQUAL "stderr")
    set(text "${err}")
    # Exactly one line.
    string(REGEX MATCHALL "\n" newlines "${err}")
    list(LENGTH newlines count)
    if(NOT count EQUAL 1)
      message(FATAL_ERROR "dravolinctl ${ARGN}: expected one line on stderr:\n${err}")
    endif()
  else()
    set(text "${out}")
  endif()
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "dravolinctl ${ARGN}: ${stream} does not match '${pattern}':\n${text}")
  endif()
endfunction()

check(0 stdout "client library 20050118" --version)
check(0 stdout "getlog \\[--dir DIR\\]" help getlog)
check(64 stderr "^dravolinctl: unknown option '--frob'" --frob list-devices)
check(64 stderr "^dravolinctl: 'control' needs an argument" control)
# Service port 0 reaches port 1, where nothing listens.
check(2 stderr "^dravolinctl: cannot connect to 127.0.0.1 port 1 " --port 0 list-devices)
# No password and no terminal: a usage error before any connection.
check(64 stderr "^dravolinctl: no password for 'admin'" --user admin list-devices)
# The batch from standard input (also on Windows).
file(WRITE "${input_file}" "# comment\r\nlist-devices\r\nfrobnicate now\r\n")
check(64 stderr "^dravolinctl: stdin:3: unknown command 'frobnicate'" --batch -)
file(REMOVE "${input_file}")
message(STATUS "program test passed")
