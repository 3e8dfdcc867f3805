# Builds the Windows installer from an install tree of a Windows build:
#   cmake -DSTAGE=<folder> -DVERSION=<x.y.z> -DOUTPUT=<file.msi> -DWXS=<Dravolin.wxs>
#         -DWIXL=<wixl> -DMSIBUILD=<msibuild> -DMSIINFO=<msiinfo> [-DBUILD_DIR=<build>]
#         [-DPLATFORM=win32|x64 [-DX86_CLIENT_DLL=<the x86 DravolinClient.dll>]]
#         -P build_msi.cmake
# With BUILD_DIR the build is first installed into STAGE (emptied before); without it STAGE
# is used as it is (the upgrade test packs a changed tree under a higher version). PLATFORM
# x64 makes the 64-bit package (default win32, the x86 one); it carries the x86 DLL, which
# is copied into STAGE/x86/ (X86_CLIENT_DLL, or the one already there).
#
# The product code follows from the version and the package code from the version and the
# staged files, so the same tree always gives a package with the same identity.
cmake_minimum_required(VERSION 3.25)

foreach(var STAGE VERSION OUTPUT WXS WIXL MSIBUILD MSIINFO)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "build_msi.cmake: ${var} is not set")
  endif()
endforeach()
if(NOT DEFINED PLATFORM)
  set(PLATFORM win32)
endif()
if(NOT PLATFORM MATCHES "^(win32|x64)$")
  message(FATAL_ERROR "build_msi.cmake: PLATFORM must be win32 or x64, not ${PLATFORM}")
endif()

set(cwd "${CMAKE_CURRENT_BINARY_DIR}")
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
    WORKING_DIRECTORY "${cwd}")
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

if(DEFINED BUILD_DIR)
  # The install step strips the binaries with objcopy, which stamps them with the time unless
  # SOURCE_DATE_EPOCH says otherwise: the last commit's time, so the same tree gives the same
  # files (and package code).
  if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    get_filename_component(source_dir "${WXS}" DIRECTORY)
    execute_process(COMMAND git -C "${source_dir}" log -1 --format=%ct
      RESULT_VARIABLE rc OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(rc EQUAL 0 AND epoch MATCHES "^[0-9]+$")
      set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    endif()
  endif()
  file(REMOVE_RECURSE "${STAGE}")
  run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}")
endif()
if(PLATFORM STREQUAL "x64")
  if(DEFINED X86_CLIENT_DLL)
    if(NOT EXISTS "${X86_CLIENT_DLL}")
      message(FATAL_ERROR "the x64 package carries the x86 DravolinClient.dll, and there is "
        "none at ${X86_CLIENT_DLL}: build the win32 preset first (cmake --preset win32 && "
        "cmake --build --preset win32), or set DRAVOLIN_X86_CLIENT_DLL")
    endif()
    file(COPY "${X86_CLIENT_DLL}" DESTINATION "${STAGE}/x86")
  elseif(NOT EXISTS "${STAGE}/x86/DravolinClient.dll")
    message(FATAL_ERROR "no x86 DravolinClient.dll in ${STAGE}/x86 and no X86_CLIENT_DLL")
  endif()
endif()

# The namespace of the derived codes is the package's UpgradeCode.
file(READ "${WXS}" wxs)
if(NOT wxs MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
  message(FATAL_ERROR "${WXS} has no UpgradeCode")
endif()
set(upgrade_code "${CMAKE_MATCH_1}")
# The x86 package keeps the codes it always had; the x64 package's differ from them.
set(platform_name "")
if(PLATFORM STREQUAL "x64")
  set(platform_name "x64 ")
endif()
string(UUID product_code NAMESPACE "${upgrade_code}" NAME "ProductCode ${platform_name}${VERSION}"
  TYPE SHA1 UPPER)
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${STAGE}" "${STAGE}/*")
list(SORT staged)
set(contents "${VERSION}")
foreach(file IN LISTS staged)
  file(SHA256 "${STAGE}/${file}" hash)
  string(APPEND contents ";${file}=${hash}")
endforeach()
string(SHA256 contents "${contents}")
string(UUID package_code NAMESPACE "${upgrade_code}" NAME "PackageCode ${platform_name}${contents}"
  TYPE SHA1 UPPER)

set(partial "${OUTPUT}.partial")
file(REMOVE "${partial}")
# wixl takes only relative source paths: it runs in the staged tree.
get_filename_component(wxs_path "${WXS}" ABSOLUTE)
get_filename_component(source_dir "${wxs_path}" DIRECTORY)
file(RELATIVE_PATH icon "${STAGE}" "${source_dir}/../ipseccfg/ui/res/DravolinIPSecCfg.ico")
get_filename_component(partial "${partial}" ABSOLUTE)
if(PLATFORM STREQUAL "x64")
  # The x64 components install other files into other folders than the x86 package's of the
  # same name: each gets a GUID of its own, derived from the fixed one (the x86 DLL's
  # component exists only here and keeps its GUID).
  string(REGEX MATCHALL "<Component Id=\"[A-Za-z0-9]+\" Guid=\"[0-9A-F-]+\" Win64=\"\\$\\(var.Win64\\)\""
    components "${wxs}")
  set(wxs64 "${wxs}")
  foreach(component IN LISTS components)
    string(REGEX MATCH "Guid=\"([0-9A-F-]+)\"" unused "${component}")
    string(UUID guid64 NAMESPACE "${CMAKE_MATCH_1}" NAME "x64" TYPE SHA1 UPPER)
    string(REPLACE "${CMAKE_MATCH_1}" "${guid64}" derived "${component}")
    string(REPLACE "${component}" "${derived}" wxs64 "${wxs64}")
  endforeach()
  set(wxs_path "${OUTPUT}.x64.wxs")
  get_filename_component(wxs_path "${wxs_path}" ABSOLUTE)
  file(WRITE "${wxs_path}" "${wxs64}")
  set(platform_args -a x64 -D Platform=x64 -D Win64=yes -D ProgramFilesDir=ProgramFiles64Folder
    -D X86ClientDll=x86/DravolinClient.dll)
  set(template "x64\;1033")
  set(path_value "[BinDir];[X86BinDir];[~]")
else()
  set(platform_args -a x86 -D Platform=x86 -D Win64=no -D ProgramFilesDir=ProgramFilesFolder)
  set(template "Intel\;1033")
  set(path_value "[BinDir];[~]")
endif()
set(cwd "${STAGE}")
run(${WIXL} ${platform_args} -D Version=${VERSION} -D ProductCode=${product_code} -D Stage=.
  -D Icon=${icon} -o "${partial}" "${wxs_path}")
set(cwd "${CMAKE_CURRENT_BINARY_DIR}")
if(PLATFORM STREQUAL "x64")
  file(REMOVE "${wxs_path}")
endif()

# What wixl cannot express is added to its output with msibuild; msibuild splits -q queries
# at ';', so tables with such values come as import files.
set(idt "${OUTPUT}.idt")
file(REMOVE_RECURSE "${idt}")
file(MAKE_DIRECTORY "${idt}")

# The PATH entry (wixl has no Environment element). The bin folder (dravolinctl.exe,
# DravolinIPSecCfg.com, the DLL) goes into the machine's PATH on install and comes out again
# on uninstall: "=" sets it on install, "-" removes it on uninstall, "*" makes it a system
# variable, a value ending ";[~]" is put in front of the existing one. In front, not at the
# end: Wine's msiexec takes an appended entry out but leaves its ';' behind, and Wine's cmd
# finds no program in the folders after an empty entry. It belongs to the install folder's
# component, which every feature holds. The x64 package puts the x86 DLL's folder after its
# own bin folder: a 32-bit program that looks for DravolinClient.dll through PATH passes over
# the 64-bit one (the loader skips a DLL of the other architecture) and finds its own.
file(WRITE "${idt}/Environment.idt"
  "Environment\tName\tValue\tComponent_\r\n"
  "s72\tl255\tL255\ts72\r\n"
  "Environment\tEnvironment\r\n"
  "PathEntry\t=-*PATH\t${path_value}\tInstallFolder\r\n")
run(${MSIBUILD} "${partial}" -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) \
VALUES ('RemoveEnvironmentStrings', 3300)")
run(${MSIBUILD} "${partial}" -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) \
VALUES ('WriteEnvironmentStrings', 5200)")

# An upgrade removes the older version by naming all its features rather than "ALL": the
# older version's uninstall then tells an upgrade from a removal also under Wine, whose
# msiexec sets no UPGRADINGPRODUCTCODE (see the RemoveIPSecPolicy action). A feature added
# later joins this list.
run(${MSIBUILD} "${partial}" -q "UPDATE `Upgrade` SET `Remove` = 'SDK,Configurator,Client' \
WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")

# The x64 package also replaces an installed x86 package of the same version (the same
# UpgradeCode, another ProductCode): a third Upgrade row that finds exactly this version
# (minimum and maximum inclusive: 0x100 + 0x200). The x86 package has no such row, so it
# neither replaces the x64 one nor is refused by it when the versions are equal.
if(PLATFORM STREQUAL "x64")
  run(${MSIBUILD} "${partial}" -q "INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMin`, \
`VersionMax`, `Attributes`, `Remove`, `ActionProperty`) VALUES ('{${upgrade_code}}', \
'${VERSION}', '${VERSION}', 768, 'SDK,Configurator,Client', 'WIX_UPGRADE_DETECTED')")
endif()

# An older package over a newer one: the launch condition that wixl makes of
# DowngradeErrorMessage stops it, but Wine's msiexec, quiet, neither shows nor logs its text.
# So the execute sequence also stops it by an error action (type 19, which Windows Installer
# logs), whose action text carries the message into Wine's log too.
if(NOT wxs MATCHES "DowngradeErrorMessage=\"([^\"]+)\"")
  message(FATAL_ERROR "${WXS} has no DowngradeErrorMessage")
endif()
set(downgrade_message "${CMAKE_MATCH_1}")
if(downgrade_message MATCHES "[;'\t\[\]]")
  message(FATAL_ERROR "DowngradeErrorMessage must not hold ; ' [ ] or tabs")
endif()
run(${MSIBUILD} "${partial}" -q "INSERT INTO `CustomAction` (`Action`, `Type`, `Target`) \
VALUES ('RefuseDowngrade', 19, '${downgrade_message}')")
run(${MSIBUILD} "${partial}" -q "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, \
`Sequence`) VALUES ('RefuseDowngrade', 'WIX_DOWNGRADE_DETECTED', 99)")
file(WRITE "${idt}/ActionText.idt"
  "Action\tDescription\tTemplate\r\n"
  "s72\tL0\tL0\r\n"
  "ActionText\tAction\r\n"
  "RefuseDowngrade\t${downgrade_message}\t\r\n")

# KEEPIPSECPOLICY among the secure properties, so that it reaches the elevated part of a
# managed install (wixl writes its own list and has no Secure attribute).
execute_process(COMMAND ${MSIINFO} export "${partial}" Property
  RESULT_VARIABLE rc OUTPUT_VARIABLE property_table)
if(NOT rc EQUAL 0 OR NOT property_table MATCHES "\nSecureCustomProperties\t[^\r\n]+")
  message(FATAL_ERROR "no SecureCustomProperties in the Property table:\n${property_table}")
endif()
string(REGEX REPLACE "(\nSecureCustomProperties\t[^\r\n]+)" "\\1;KEEPIPSECPOLICY"
  property_table "${property_table}")
file(WRITE "${idt}/Property.idt" "${property_table}")

set(cwd "${idt}")
run(${MSIBUILD} "${partial}" -i Environment.idt -i Property.idt -i ActionText.idt)
set(cwd "${CMAKE_CURRENT_BINARY_DIR}")
file(REMOVE_RECURSE "${idt}")

# wixl gives every package a random package code (it ignores Package/@Id): ours instead.
run(${MSIBUILD} "${partial}" -s "Dravolin client software ${VERSION}" Dravolin "${template}"
  "{${package_code}}")

file(RENAME "${partial}" "${OUTPUT}")
file(SIZE "${OUTPUT}" size)
message(STATUS "${OUTPUT}: ${size} bytes, product code {${product_code}}, package code "
  "{${package_code}}")
