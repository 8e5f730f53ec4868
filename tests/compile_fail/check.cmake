# Runs the compiler on one source twice: with -DCOMPILE_FAIL_CONTROL it must compile (the
# harness and the includes work), without it it must fail with a message matching EXPECT.
#   cmake -DCXX=... -DFLAGS=... -DSOURCE=... -DEXPECT=... -P check.cmake
separate_arguments(flag_list UNIX_COMMAND "${FLAGS}")
execute_process(COMMAND ${CXX} ${flag_list} -DCOMPILE_FAIL_CONTROL -fsyntax-only ${SOURCE}
                RESULT_VARIABLE control_result ERROR_VARIABLE control_errors)
if(NOT control_result EQUAL 0)
  message(FATAL_ERROR "the control variant does not compile:\n${control_errors}")
endif()
execute_process(COMMAND ${CXX} ${flag_list} -fsyntax-only ${SOURCE}
                RESULT_VARIABLE result ERROR_VARIABLE errors)
if(result EQUAL 0)
  message(FATAL_ERROR "${SOURCE} compiled, but the compiler must refuse it")
endif()
if(NOT errors MATCHES "${EXPECT}")
  message(FATAL_ERROR "refused, but not for the expected reason (${EXPECT}):\n${errors}")
endif()
message(STATUS "refused as expected: ${EXPECT}")
