# qp_add_test(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV ...] [TIMEOUT s])
#
# One test executable = one CTest entry. Every test runs on Qt's offscreen
# platform with no platform theme, so no test ever needs a display.
# Label "tsan" marks tests that the ThreadSanitizer tree also runs (they must
# not use Qt); label "qt" marks tests that need Qt.
function(qp_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(env
    "QT_QPA_PLATFORM=offscreen"
    "QT_QPA_PLATFORMTHEME="
    "QT_ENABLE_HIGHDPI_SCALING=0"
    "QT_FONT_DPI=96"
    "QP_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
    "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    ${T_ENV})
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${T_TIMEOUT}
    LABELS "${T_LABELS}"
    ENVIRONMENT "${env}")
endfunction()

# qp_add_fuzzer(<name> SOURCES ... [LIBS ...])
# A libFuzzer target, also registered as a short, fixed-length test run.
function(qp_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  # New inputs go to a corpus in the build tree; checked-in seeds are read only.
  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  set(seeds)
  if(EXISTS ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set(seeds ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
  endif()
  add_test(NAME ${name} COMMAND ${name} -runs=${QP_FUZZ_RUNS} -seed=1 -max_len=4096 ${corpus} ${seeds})
  set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 600)
endfunction()
