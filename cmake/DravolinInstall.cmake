# Install rules and packaging: the library with its header, a CMake package config
# (DravolinClient::DravolinClient), a pkg-config file, the programs, CPack archives (a ZIP on
# Windows) and, on Windows, the installer (target "msi").
include_guard(GLOBAL)
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(DRAVOLIN_CONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/DravolinClient)

# dravolin_install_split_debug(<target>): after the target's file is installed, its debug
# information moves into <file>.debug beside it and the installed file is stripped, keeping a
# debug link (.gnu_debuglink) that names the .debug file, so a debugger given the binary
# still finds it. The build tree keeps the unstripped file.
function(dravolin_install_split_debug target)
  if(NOT CMAKE_OBJCOPY)
    message(FATAL_ERROR "objcopy not found: the installed ${target} cannot be stripped")
  endif()
  get_target_property(type ${target} TYPE)
  if(WIN32 OR NOT type STREQUAL "SHARED_LIBRARY")
    set(dir ${CMAKE_INSTALL_BINDIR})
  else()
    set(dir ${CMAKE_INSTALL_LIBDIR})
  endif()
  install(CODE "
    set(dravolin_file \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}/$<TARGET_FILE_NAME:${target}>\")
    get_filename_component(dravolin_dir \"\${dravolin_file}\" DIRECTORY)
    get_filename_component(dravolin_name \"\${dravolin_file}\" NAME)
    message(STATUS \"Splitting debug information: \${dravolin_file}.debug\")
    execute_process(
      COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \${dravolin_name} \${dravolin_name}.debug
      COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY \"\${dravolin_dir}\")
    execute_process(
      COMMAND \"${CMAKE_OBJCOPY}\" --strip-all --add-gnu-debuglink=\${dravolin_name}.debug
        \${dravolin_name}
      COMMAND_ERROR_IS_FATAL ANY WORKING_DIRECTORY \"\${dravolin_dir}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${dravolin_file}.debug\")
  ")
endfunction()

if(TARGET DravolinClient)
  # Versioned SONAME (libDravolinClient.so.1) unless the library sets its own.
  get_target_property(dravolin_soversion DravolinClient SOVERSION)
  if(NOT dravolin_soversion)
    set_target_properties(DravolinClient PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()

  install(TARGETS DravolinClient
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/DravolinClient.h
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

  # Windows: the import data of both toolchains (the consumer .def, from which dlltool makes
  # the mingw import library, and DravolinClient.lib for the Microsoft toolchain), the SDK
  # README at the top and the example sources.
  if(WIN32)
    get_target_property(dravolin_consumer_def DravolinClient DRAVOLIN_CONSUMER_DEF)
    get_target_property(dravolin_msvc_implib DravolinClient DRAVOLIN_MSVC_IMPLIB)
    install(FILES ${dravolin_consumer_def} ${dravolin_msvc_implib}
      DESTINATION ${CMAKE_INSTALL_LIBDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.txt DESTINATION .)
    install(FILES
      ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt
      ${PROJECT_SOURCE_DIR}/examples/list_devices.c
      ${PROJECT_SOURCE_DIR}/examples/async_session.cpp
      DESTINATION examples)
  endif()
  dravolin_install_split_debug(DravolinClient)

  # Package config: an imported target whose file names come from the built library.
  if(WIN32)
    set(DRAVOLIN_IMPORTED_LOCATION
      "\${PACKAGE_PREFIX_DIR}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:DravolinClient>")
    set(DRAVOLIN_IMPORTED_EXTRA
      "IMPORTED_IMPLIB \"\${PACKAGE_PREFIX_DIR}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_LINKER_FILE_NAME:DravolinClient>\"")
  else()
    set(DRAVOLIN_IMPORTED_LOCATION
      "\${PACKAGE_PREFIX_DIR}/${CMAKE_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:DravolinClient>")
    set(DRAVOLIN_IMPORTED_EXTRA
      "IMPORTED_SONAME \"$<TARGET_SONAME_FILE_NAME:DravolinClient>\"")
  endif()
  configure_package_config_file(
    ${PROJECT_SOURCE_DIR}/cmake/DravolinClientConfig.cmake.in
    ${PROJECT_BINARY_DIR}/package/DravolinClientConfig.cmake.in
    INSTALL_DESTINATION ${DRAVOLIN_CONFIG_DIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
  file(GENERATE
    OUTPUT ${PROJECT_BINARY_DIR}/package/DravolinClientConfig.cmake
    INPUT ${PROJECT_BINARY_DIR}/package/DravolinClientConfig.cmake.in)
  write_basic_package_version_file(
    ${PROJECT_BINARY_DIR}/package/DravolinClientConfigVersion.cmake
    VERSION ${PROJECT_VERSION}
    COMPATIBILITY SameMajorVersion)
  install(FILES
    ${PROJECT_BINARY_DIR}/package/DravolinClientConfig.cmake
    ${PROJECT_BINARY_DIR}/package/DravolinClientConfigVersion.cmake
    DESTINATION ${DRAVOLIN_CONFIG_DIR})

  # pkg-config, relocatable: the prefix is found from the .pc file's own place.
  file(RELATIVE_PATH DRAVOLIN_PC_TO_PREFIX
    "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/dravolinclient.pc.in
    ${PROJECT_BINARY_DIR}/package/dravolinclient.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/dravolinclient.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

foreach(program dravolinctl DravolinIPSecCfg DravolinIPSecCfgCom)
  if(TARGET ${program})
    if(NOT WIN32)
      # The installed program finds the library of its own prefix, wherever that is.
      set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    dravolin_install_split_debug(${program})
  endif()
endforeach()

set(CPACK_PACKAGE_NAME DravolinClient)
set(CPACK_PACKAGE_VENDOR Dravolin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Client library, management tool and IPsec configurator of the storage server")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  if(DRAVOLIN_WINDOWS_ARCH STREQUAL "x64")
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR}")
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")
endif()
include(CPack)

# The Windows installer in the build folder, made with wixl from this build installed into
# msi-stage/ (packaging/Dravolin.wxs, packaging/build_msi.cmake): Dravolin-<version>-win32.msi
# from the x86 build, Dravolin-<version>-x64.msi from the x64 build. The x64 package also
# carries the x86 DravolinClient.dll, for 32-bit programs on a 64-bit system: it is taken from
# DRAVOLIN_X86_CLIENT_DLL, by default the x86 build's (build/win32; build it first).
if(WIN32 AND TARGET DravolinClient AND TARGET dravolinctl AND TARGET DravolinIPSecCfg)
  find_program(DRAVOLIN_WIXL wixl)
  find_program(DRAVOLIN_MSIBUILD msibuild)
  find_program(DRAVOLIN_MSIINFO msiinfo)
  if(DRAVOLIN_WIXL AND DRAVOLIN_MSIBUILD AND DRAVOLIN_MSIINFO)
    set(msi_platform win32)
    set(msi_x86_dll)
    if(DRAVOLIN_WINDOWS_ARCH STREQUAL "x64")
      set(msi_platform x64)
      set(msi_x86_dll -DX86_CLIENT_DLL=${DRAVOLIN_X86_CLIENT_DLL})
    endif()
    set(DRAVOLIN_MSI ${PROJECT_BINARY_DIR}/Dravolin-${PROJECT_VERSION}-${msi_platform}.msi)
    add_custom_target(msi
      COMMAND ${CMAKE_COMMAND}
        -DBUILD_DIR=${PROJECT_BINARY_DIR}
        -DPLATFORM=${msi_platform} ${msi_x86_dll}
        -DSTAGE=${PROJECT_BINARY_DIR}/msi-stage
        -DVERSION=${PROJECT_VERSION}
        -DOUTPUT=${DRAVOLIN_MSI}
        -DWXS=${PROJECT_SOURCE_DIR}/packaging/Dravolin.wxs
        -DWIXL=${DRAVOLIN_WIXL}
        -DMSIBUILD=${DRAVOLIN_MSIBUILD}
        -DMSIINFO=${DRAVOLIN_MSIINFO}
        -P ${PROJECT_SOURCE_DIR}/packaging/build_msi.cmake
      BYPRODUCTS ${DRAVOLIN_MSI}
      COMMENT "Building Dravolin-${PROJECT_VERSION}-${msi_platform}.msi"
      VERBATIM)
    # Everything the install step copies.
    foreach(shipped DravolinClient dravolinctl DravolinIPSecCfg DravolinIPSecCfgCom)
      if(TARGET ${shipped})
        add_dependencies(msi ${shipped})
      endif()
    endforeach()
  else()
    message(STATUS "wixl, msibuild or msiinfo not found: no target \"msi\"")
  endif()
endif()
