# Builds a compile-fail case: the control target must build, the refused one must fail with a
# message matching EXPECT.
#   cmake -DBUILD_DIR=... -DCONTROL=... -DREFUSED=... -DEXPECT=... -P check.cmake
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${CONTROL}
                RESULT_VARIABLE control_result OUTPUT_VARIABLE control_output ERROR_VARIABLE control_errors)
if(NOT control_result EQUAL 0)
  message(FATAL_ERROR "the control variant does not build:\n${control_output}${control_errors}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target ${REFUSED}
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
if(result EQUAL 0)
  message(FATAL_ERROR "${REFUSED} built, but the compiler must refuse it")
endif()
if(NOT "${output}${errors}" MATCHES "${EXPECT}")
  message(FATAL_ERROR "refused, but not for the expected reason (${EXPECT}):\n${output}${errors}")
endif()
message(STATUS "refused as expected: ${EXPECT}")
