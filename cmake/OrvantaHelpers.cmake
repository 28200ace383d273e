# orvanta_install_headers(<folder> <header>...): installs headers of one source
# folder so that consumers include them as "<folder>/<header>".
function(orvanta_install_headers folder)
  install(FILES ${ARGN} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/OrvantaOpenAI/${folder})
endfunction()

# orvanta_add_test(<name> SOURCES <src>... [LIBS <lib>...] [TIMEOUT <s>] [LABELS <l>...])
# One GoogleTest executable registered as one ctest test.
function(orvanta_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE orvanta_warnings GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads ${T_LIBS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}" "${PROJECT_SOURCE_DIR}/tests")
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# orvanta_add_bench(<name> SOURCES <src>... [LIBS <lib>...])
function(orvanta_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE orvanta_warnings benchmark::benchmark Threads::Threads ${B_LIBS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()

# orvanta_add_fuzzer(<name> SOURCES <src>... [LIBS <lib>...])
function(orvanta_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}")
endfunction()

# orvanta_unoptimised_in_debug(<target>...): Boost.Beast-based test peers take
# minutes per file to optimise and gain nothing from it; in Debug-type builds
# (the sanitizer presets add -O1 for the library) they build unoptimised and
# are still instrumented. Release builds keep them optimised, as the
# benchmarks measure against them.
function(orvanta_unoptimised_in_debug)
  foreach(t ${ARGN})
    target_compile_options(${t} PRIVATE $<$<CONFIG:Debug>:-O0>)
  endforeach()
endfunction()
