# tw_library(<name> [DEPS targets...])
# One static library per source folder: every .cpp/.h of the folder (not recursive). The
# platform layer is chosen here by name: Windows*.cpp/.h only on Windows, Posix*.cpp/.h
# everywhere else.
function(tw_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
                                   ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  if(WIN32)
    list(FILTER srcs EXCLUDE REGEX "/Posix[^/]*$")
  else()
    list(FILTER srcs EXCLUDE REGEX "/Windows[^/]*$")
  endif()
  add_library(${name} STATIC ${srcs})
  # Includes name their folder ("serial/AbstractSerialPort.h", "sim/VirtualLogger.h").
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
  if(NOT CMAKE_CURRENT_SOURCE_DIR MATCHES "^${PROJECT_SOURCE_DIR}/(src|sim)(/|$)")
    # The tests' shared helpers keep their short names.
    target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# tw_test(<name> SOURCES files... DEPS targets... [LABELS labels...] [TIMEOUT s])
# Registers a test executable with ctest. Label "threaded" marks tests that also run under TSan.
# Each carries tw_testenv, so that it also runs the same when started by hand from build/tests.
function(tw_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tw_testenv)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(env "QT_QPA_PLATFORM=offscreen;QT_QUICK_BACKEND=software;TZ=Europe/Berlin;TW_SOURCE_DIR=${CMAKE_SOURCE_DIR};TW_BIN_DIR=${CMAKE_BINARY_DIR}/bin;TW_SIM_EXIT_WITH_PARENT=1")
  if(TW_SANITIZE MATCHES "thread")
    # The Qt libraries are not instrumented: their own locking is invisible to the sanitizer.
    list(APPEND env "TSAN_OPTIONS=halt_on_error=1 ignore_noninstrumented_modules=1 suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp")
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${env}")
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()
