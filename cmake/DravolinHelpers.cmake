# Shared build helpers.
include_guard(GLOBAL)

# The Windows build's architecture (x86 or x64): test labels, static checks of the binaries.
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(DRAVOLIN_WINDOWS_ARCH x64)
    # The x64 installer also carries the x86 DLL, for 32-bit programs (packaging, its test).
    set(DRAVOLIN_X86_CLIENT_DLL ${PROJECT_SOURCE_DIR}/build/win32/bin/DravolinClient.dll
      CACHE FILEPATH "The x86 DravolinClient.dll that the x64 installer carries")
  else()
    set(DRAVOLIN_WINDOWS_ARCH x86)
  endif()
endif()

# Warnings are errors in our own code.
function(dravolin_warnings target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Werror>)
  # GCC 12 at -O3 (Release) reports string and buffer accesses that cannot
  # happen (its bugs 105329 and 105651: "literal" + std::string&&, memcmp of
  # vectors, a fixed-size array filled in a loop). They stay warnings there, so
  # a Release build of the whole tree goes through; every other build keeps
  # them as errors.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE
      "$<$<AND:$<CONFIG:Release>,$<COMPILE_LANGUAGE:CXX,C>>:-Wno-error=restrict;-Wno-error=stringop-overflow;-Wno-error=stringop-overread>")
  endif()
endfunction()

# Win32 builds link the C and C++ runtimes statically: the DLL and the
# programs then need nothing but system DLLs.
function(dravolin_static_runtime target)
  if(WIN32)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# GoogleTest: Debian's libgtest-dev natively; for Win32 built from the
# sources Debian's googletest package installs.
macro(dravolin_setup_gtest)
  if(CMAKE_CROSSCOMPILING)
    set(DRAVOLIN_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(${DRAVOLIN_GTEST_SRC} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
    if(NOT TARGET GTest::gtest_main)
      add_library(GTest::gtest ALIAS gtest)
      add_library(GTest::gtest_main ALIAS gtest_main)
      add_library(GTest::gmock ALIAS gmock)
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
  include(GoogleTest)
endmacro()

# dravolin_add_gtest(NAME <name> SOURCES ... [LIBS ...] [TIMEOUT s] [LABELS ...])
# Natively every test case is its own CTest test; under Wine each program is
# one CTest test, since starting a Win32 program costs about a second.
function(dravolin_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock Threads::Threads)
  dravolin_warnings(${T_NAME})
  dravolin_static_runtime(${T_NAME})
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${DRAVOLIN_WINDOWS_ARCH};${T_LABELS}")
  else()
    gtest_discover_tests(${T_NAME}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "native;${T_LABELS}")
  endif()
endfunction()

# dravolin_version_resource(<target> "<file description>"): on Windows, a VERSIONINFO resource
# with the project version as file and product version and the target's file name as original
# file name, so that the file's properties show what it is.
function(dravolin_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(DRAVOLIN_RC_FILE_TYPE VFT_DLL)
    set(DRAVOLIN_RC_FILE_NAME ${output_name}${CMAKE_SHARED_LIBRARY_SUFFIX})
  else()
    set(DRAVOLIN_RC_FILE_TYPE VFT_APP)
    get_target_property(suffix ${target} SUFFIX)
    if(NOT suffix)
      set(suffix ${CMAKE_EXECUTABLE_SUFFIX})
    endif()
    set(DRAVOLIN_RC_FILE_NAME ${output_name}${suffix})
  endif()
  set(DRAVOLIN_RC_DESCRIPTION "${description}")
  set(DRAVOLIN_RC_INTERNAL_NAME ${output_name})
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
