# Builds the Windows installer from an install tree of the win32 build:
#   cmake -DSTAGE=<folder> -DVERSION=<x.y.z> -DOUTPUT=<file.msi> -DWXS=<Dravolin.wxs>
#         -DWIXL=<wixl> -DMSIBUILD=<msibuild> -DMSIINFO=<msiinfo> [-DBUILD_DIR=<win32 build>]
#         -P build_msi.cmake
# With BUILD_DIR the build is first installed into STAGE (emptied before); without it STAGE
# is used as it is (the upgrade test packs a changed tree under a higher version).
#
# The product code follows from the version and the package code from the version and the
# staged files, so the same tree always gives a package with the same identity.
cmake_minimum_required(VERSION 3.25)

foreach(var STAGE VERSION OUTPUT WXS WIXL MSIBUILD MSIINFO)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "build_msi.cmake: ${var} is not set")
  endif()
endforeach()

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

# The namespace of the derived codes is the package's UpgradeCode.
file(READ "${WXS}" wxs)
if(NOT wxs MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
  message(FATAL_ERROR "${WXS} has no UpgradeCode")
endif()
set(upgrade_code "${CMAKE_MATCH_1}")
string(UUID product_code NAMESPACE "${upgrade_code}" NAME "ProductCode ${VERSION}" TYPE SHA1 UPPER)
file(GLOB_RECURSE staged LIST_DIRECTORIES false RELATIVE "${STAGE}" "${STAGE}/*")
list(SORT staged)
set(contents "${VERSION}")
foreach(file IN LISTS staged)
  file(SHA256 "${STAGE}/${file}" hash)
  string(APPEND contents ";${file}=${hash}")
endforeach()
string(SHA256 contents "${contents}")
string(UUID package_code NAMESPACE "${upgrade_code}" NAME "PackageCode ${contents}" TYPE SHA1
  UPPER)

set(partial "${OUTPUT}.partial")
file(REMOVE "${partial}")
# wixl takes only relative source paths: it runs in the staged tree.
get_filename_component(wxs_path "${WXS}" ABSOLUTE)
get_filename_component(source_dir "${wxs_path}" DIRECTORY)
file(RELATIVE_PATH icon "${STAGE}" "${source_dir}/../ipseccfg/ui/res/DravolinIPSecCfg.ico")
get_filename_component(partial "${partial}" ABSOLUTE)
set(cwd "${STAGE}")
run(${WIXL} -a x86 -D Version=${VERSION} -D ProductCode=${product_code} -D Stage=.
  -D Icon=${icon} -o "${partial}" "${wxs_path}")
set(cwd "${CMAKE_CURRENT_BINARY_DIR}")

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
# component, which every feature holds.
file(WRITE "${idt}/Environment.idt"
  "Environment\tName\tValue\tComponent_\r\n"
  "s72\tl255\tL255\ts72\r\n"
  "Environment\tEnvironment\r\n"
  "PathEntry\t=-*PATH\t[BinDir];[~]\tInstallFolder\r\n")
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
run(${MSIBUILD} "${partial}" -s "Dravolin client software ${VERSION}" Dravolin "Intel\;1033"
  "{${package_code}}")

file(RENAME "${partial}" "${OUTPUT}")
file(SIZE "${OUTPUT}" size)
message(STATUS "${OUTPUT}: ${size} bytes, product code {${product_code}}, package code "
  "{${package_code}}")
