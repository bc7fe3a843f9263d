cmake_minimum_required(VERSION 3.25)
# Installs the build into a fresh prefix and checks what landed where.
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DPREFIX=... -DPROGRAMS="a;b" -P InstallTreeCheck.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${rc}):\n${out}")
endif()

foreach(program IN LISTS PROGRAMS)
  set(path "${PREFIX}/bin/${program}")
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    message(FATAL_ERROR "missing program ${path}")
  endif()
  # Installed programs run from anywhere: the version answers without the build folder.
  if(program STREQUAL "tarrowind-cli")
    execute_process(COMMAND "${path}" --version RESULT_VARIABLE rc OUTPUT_VARIABLE version)
    if(NOT rc EQUAL 0 OR NOT version MATCHES "^tarrowind-cli [0-9]")
      message(FATAL_ERROR "installed ${program} does not run: ${rc} ${version}")
    endif()
  endif()
endforeach()

# Only the programs users run: the test copy with its hook stays in the build folder, and no
# installed program reads the hook's variable.
file(GLOB e2e "${PREFIX}/bin/*e2e*")
if(e2e)
  message(FATAL_ERROR "a test-only program was installed: ${e2e}")
endif()
file(GLOB installed "${PREFIX}/bin/*")
foreach(path IN LISTS installed)
  file(STRINGS "${path}" hook REGEX "TW_TEST_HOOK")
  if(hook)
    message(FATAL_ERROR "${path} reads TW_TEST_HOOK")
  endif()
endforeach()

set(desktop "${PREFIX}/share/applications/tarrowind-utility.desktop")
set(icon "${PREFIX}/share/icons/hicolor/scalable/apps/tarrowind-utility.svg")
set(rule "${PREFIX}/lib/udev/rules.d/70-tarrowind-utility.rules")
foreach(f "${desktop}" "${icon}" "${rule}")
  if(NOT EXISTS "${f}")
    message(FATAL_ERROR "missing ${f}")
  endif()
endforeach()

# The entry names a program that was installed and an icon by its installed name.
file(STRINGS "${desktop}" exec REGEX "^Exec=")
file(STRINGS "${desktop}" iconName REGEX "^Icon=")
string(REGEX REPLACE "^Exec=([^ ]+).*" "\\1" exec "${exec}")
if(NOT EXISTS "${PREFIX}/bin/${exec}" AND "tarrowind-utility" IN_LIST PROGRAMS)
  message(FATAL_ERROR "the desktop entry runs '${exec}', which is not in ${PREFIX}/bin")
endif()
if(NOT iconName STREQUAL "Icon=tarrowind-utility")
  message(FATAL_ERROR "the desktop entry's icon is '${iconName}'")
endif()

find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
if(DESKTOP_FILE_VALIDATE)
  execute_process(COMMAND "${DESKTOP_FILE_VALIDATE}" "${desktop}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "desktop-file-validate: ${out}")
  endif()
endif()
file(REMOVE_RECURSE "${PREFIX}")
