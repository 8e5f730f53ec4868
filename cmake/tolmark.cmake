# tolmark_test(<name> [THREADED] SOURCES <files...> LIBS <targets...>)
# One GoogleTest binary per library; tests are discovered into CTest. THREADED binaries start
# threads of their own: they carry the label "threaded" and belong to the target
# threaded_tests, which the ThreadSanitizer build runs.
add_custom_target(threaded_tests)
function(tolmark_test name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "THREADED" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  if(T_THREADED)
    add_dependencies(threaded_tests ${name})
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120 LABELS threaded)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
  endif()
endfunction()

# The system user the service runs as: named in the unit, created by the package and by
# "Velkora -install", and trusted by the console tool and the manager.
set(TOLMARK_SERVICE_USER tolmark)
