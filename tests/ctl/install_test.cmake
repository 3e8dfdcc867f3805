# Installs the build into a fresh prefix and builds the examples against it, once through
# find_package and once through pkg-config; natively it also runs them (the Win32 package is
# package_test.cmake's). Any broken install rule fails here.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DTOOLCHAIN=...] [-DWIN32=1]
#         [-DEXAMPLE_FLAGS=-DCMAKE_C_FLAGS=...|-DCMAKE_CXX_FLAGS=...|...] -P install_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(expect_file path)
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "missing after install: ${path}")
  endif()
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

expect_file("${prefix}/include/DravolinClient.h")
expect_file("${prefix}/lib/cmake/DravolinClient/DravolinClientConfig.cmake")
expect_file("${prefix}/lib/cmake/DravolinClient/DravolinClientConfigVersion.cmake")
expect_file("${prefix}/lib/pkgconfig/dravolinclient.pc")

# The Python package, installed beside the library, finds it there with only PYTHONPATH set.
if(NOT WIN32 AND EXISTS /usr/bin/python3)
  expect_file("${prefix}/lib/python3/dravolin/__init__.py")
  expect_file("${prefix}/lib/python3/dravolin/py.typed")
  run(${CMAKE_COMMAND} -E env --unset=DRAVOLIN_LIBRARY PYTHONPATH=${prefix}/lib/python3
    /usr/bin/python3 -c "print(__import__('dravolin').library_path)")
  string(STRIP "${run_output}" python_found)
  if(NOT python_found STREQUAL "${prefix}/lib/libDravolinClient.so.1")
    message(FATAL_ERROR "the installed Python package loads ${python_found}")
  endif()
endif()
if(WIN32)
  expect_file("${prefix}/bin/DravolinClient.dll")
  expect_file("${prefix}/bin/dravolinctl.exe")
  expect_file("${prefix}/lib/DravolinClient.def")
  expect_file("${prefix}/lib/DravolinClient.lib")
else()
  expect_file("${prefix}/lib/libDravolinClient.so")
  expect_file("${prefix}/bin/dravolinctl")
  file(GLOB sonames "${prefix}/lib/libDravolinClient.so.[0-9]")
  if(NOT sonames)
    message(FATAL_ERROR "no versioned libDravolinClient.so.N installed")
  endif()
  run(readelf -d "${prefix}/lib/libDravolinClient.so")
  if(NOT run_output MATCHES "SONAME\\)[^\n]*libDravolinClient\\.so\\.[0-9]+\\]")
    message(FATAL_ERROR "libDravolinClient.so has no versioned SONAME:\n${run_output}")
  endif()
  # The installed program runs from its prefix, stripped, its debug information beside it.
  run("${prefix}/bin/dravolinctl" --version)
  expect_file("${prefix}/bin/dravolinctl.debug")
  file(GLOB library_debug "${prefix}/lib/libDravolinClient.so.*.debug")
  if(NOT library_debug)
    message(FATAL_ERROR "no libDravolinClient.so.*.debug installed")
  endif()
endif()

set(toolchain_args)
string(REPLACE "|" ";" example_flags "${EXAMPLE_FLAGS}")
list(APPEND toolchain_args ${example_flags})
if(TOOLCHAIN)
  list(APPEND toolchain_args "-DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN}")
endif()

foreach(way find_package pkg-config)
  set(build "${WORK_DIR}/examples-${way}")
  set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
  # The package is found through the prefix, never through the build tree.
  run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples" -B "${build}" ${toolchain_args}
      "-DDRAVOLIN_EXAMPLES_WITH=${way}"
      "-DCMAKE_PREFIX_PATH=${prefix}"
      "-DDravolinClient_DIR=${prefix}/lib/cmake/DravolinClient"
      -DCMAKE_BUILD_TYPE=Release)
  run(${CMAKE_COMMAND} --build "${build}")
  if(NOT WIN32)
    set(ENV{LD_LIBRARY_PATH} "${prefix}/lib")
    foreach(example list_devices async_session)
      run("${build}/${example}")
      if(NOT run_output MATCHES "version 20050118")
        message(FATAL_ERROR "${example} (${way}) printed:\n${run_output}")
      endif()
    endforeach()
  else()
    expect_file("${build}/list_devices.exe")
    expect_file("${build}/async_session.exe")
  endif()
endforeach()

message(STATUS "install test passed")
