include(GoogleTest)

# quillmate_add_test(NAME name LABEL unit|e2e SOURCES ... LIBS ... [TIMEOUT s])
# One GoogleTest binary per module, registered with CTest as a single test so
# that the label applies to the whole binary. In the Windows build the unit
# tests run under Wine with the label "windows"; end-to-end tests, which need
# real web servers, are Linux-only.
function(quillmate_add_test)
  cmake_parse_arguments(T "" "NAME;LABEL;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_LABEL MATCHES "^(unit|e2e)$")
    message(FATAL_ERROR "quillmate_add_test(${T_NAME}): LABEL must be unit or e2e")
  endif()
  if(WIN32)
    if(T_LABEL STREQUAL "e2e")
      return()
    endif()
    set(T_LABEL windows)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES} $<TARGET_OBJECTS:version_record>)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} testsupport GTest::gtest)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_color=no)
  set_tests_properties(${T_NAME} PROPERTIES LABELS ${T_LABEL} TIMEOUT ${T_TIMEOUT})
endfunction()
