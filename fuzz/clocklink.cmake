qp_add_fuzzer(fuzz_clock_parser
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_clock_parser.cpp
  LIBS clocklink)
