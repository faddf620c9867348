qp_add_fuzzer(fuzz_mo_reader
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_mo_reader.cpp
  LIBS i18n)
