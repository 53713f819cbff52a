# lumora_module(<name> [DEPS <targets...>] [PRIVATE_DEPS <targets...>] [TEST_DEPS <targets...>]
#               [EXCLUDE <files...>] [TEST_LAUNCHER <command...>])
#
# One folder, one static library: every .cpp/.c in the folder except *_test.cpp (and the files
# named in EXCLUDE) goes into the library <name>. DEPS are the libraries its headers expose (its
# users get them too); PRIVATE_DEPS the ones only its sources use. Includes are written from the
# repository root ("platform/core/value.h"), which every library adds for itself and its users.
# Every *_test.cpp goes into one test binary <name>_tests, registered with CTest and labelled with
# the library's name; it links the library with all of its dependencies and TEST_DEPS. A
# TEST_LAUNCHER runs the test binary (for tests that need a display, say).
function(lumora_module name)
  cmake_parse_arguments(M "" "" "DEPS;PRIVATE_DEPS;TEST_DEPS;EXCLUDE;SOURCES;TEST_LAUNCHER" ${ARGN})
  file(GLOB lib_sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.c)
  list(FILTER lib_sources EXCLUDE REGEX "_test\\.cpp$")
  foreach(ex IN LISTS M_EXCLUDE)
    list(REMOVE_ITEM lib_sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  list(APPEND lib_sources ${M_SOURCES})
  if(lib_sources)
    add_library(${name} STATIC ${lib_sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${M_DEPS} PRIVATE ${M_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${M_DEPS} ${M_PRIVATE_DEPS})
  endif()

  if(LUMORA_BUILD_TESTS)
    file(GLOB test_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    if(test_sources)
      lumora_test_binary(${name}_tests ${name} SOURCES ${test_sources}
                         DEPS ${name} ${M_PRIVATE_DEPS} ${M_TEST_DEPS}
                         LAUNCHER ${M_TEST_LAUNCHER})
    endif()
  endif()
endfunction()

# lumora_test_binary(<binary> <label> SOURCES <files...> DEPS <targets...> [LAUNCHER <command...>])
function(lumora_test_binary binary label)
  cmake_parse_arguments(T "" "" "SOURCES;DEPS;LAUNCHER" ${ARGN})
  add_executable(${binary} ${T_SOURCES})
  target_link_libraries(${binary} PRIVATE ${T_DEPS} lumora_test_main GTest::gmock)
  add_test(NAME ${binary} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${binary}>)
  set_tests_properties(${binary} PROPERTIES LABELS ${label} TIMEOUT 600)
  lumora_sanitizer_environment(${binary})
endfunction()

# Sanitizer builds: the suppressions for GLib's and GStreamer's own libraries (scripts/sanitizers)
# for a test, and for every host it starts.
function(lumora_sanitizer_environment test)
  if(LUMORA_SANITIZE STREQUAL "thread")
    # GIO's own proxy resolver instead of the system one: the tests' servers are on loopback, and
    # the system resolver's library (not built with the sanitizer) would be reported otherwise.
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
      "TSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/scripts/sanitizers/tsan.supp"
      "GIO_USE_PROXY_RESOLVER=dummy")
  elseif(LUMORA_SANITIZE STREQUAL "address")
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT
      "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/scripts/sanitizers/lsan.supp")
  endif()
endfunction()
