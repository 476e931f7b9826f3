# corv_add_test(NAME n SOURCES ... [LIBS ...] [LABELS ...] [SANITIZE] [SERIAL])
# Builds a GoogleTest executable and registers its cases with CTest. LABELS
# lets slow or stress tests be run apart ("slow", "stress"); SANITIZE adds the
# executable to the corv_sanitized target, which the ASan and TSan runs build.
# SERIAL runs its cases alone: a test that keeps both cores busy would
# otherwise starve the timing of the process tests beside it.
function(corv_add_test)
  cmake_parse_arguments(T "SANITIZE;SERIAL" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  # Every test may use the shared test support (temporary folders, child
  # processes, isolation); only what a test uses is linked in.
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} corv_testsupport GTest::gtest GTest::gtest_main GTest::gmock
                        Threads::Threads)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(labels ${T_LABELS})
  if(T_SANITIZE)
    list(APPEND labels sanitize)
    add_dependencies(corv_sanitized ${T_NAME})
  endif()
  # An empty LABELS value would swallow the next keyword as a label.
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(labels)
    list(APPEND props LABELS "${labels}")
  endif()
  if(WIN32)
    # Under Wine every process start costs a Wine process: one CTest test per
    # executable (its cases run in one process) instead of one per case, and
    # no discovery run at build time.
    add_test(NAME ${T_NAME} COMMAND ${T_NAME} WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(${T_NAME} PROPERTIES ${props})
    return()
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    TEST_PREFIX "${T_NAME}."
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES ${props})
endfunction()
