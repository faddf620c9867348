if(QP_WITH_QT)
  find_package(Cups REQUIRED)
  add_executable(bench_print ${CMAKE_CURRENT_LIST_DIR}/bench_print.cpp
    ${PROJECT_SOURCE_DIR}/tests/printer/cupsd_harness.cpp
    ${PROJECT_SOURCE_DIR}/tests/printer/real_printers.cpp)
  target_link_libraries(bench_print PRIVATE printout_print printer Qt6::Gui Cups::Cups)
endif()
