# Warnings, per target: every target of the project links this (its own code only; Qt's
# generated files and the libraries' headers are not held to them).
add_library(tolmark_warnings INTERFACE)
target_compile_options(tolmark_warnings INTERFACE -Wall -Wextra -Wshadow -Wformat=2 -Wnon-virtual-dtor
                                                  $<$<BOOL:${TOLMARK_WERROR}>:-Werror>)

# tolmark_exports(<target> <folder>...): the target's headers, and no other folder's, reached as
# "<folder>/<file>.h" by the target and by what links it. A target sees only the folders of the
# libraries it links: a folder that includes another it does not link fails to build.
function(tolmark_exports target)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  foreach(folder ${ARGN})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(REMOVE ${root}/${folder})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
    target_link_libraries(${target} PRIVATE tolmark_warnings)
  endif()
endfunction()

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
  target_link_libraries(${name} PRIVATE ${T_LIBS} test_support tolmark_warnings GTest::gtest GTest::gmock
                                        GTest::gtest_main Threads::Threads)
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
