if(QP_WITH_QT)
  add_executable(bench_printouts ${CMAKE_CURRENT_LIST_DIR}/bench_printouts.cpp)
  target_link_libraries(bench_printouts PRIVATE app_window printout_file Qt6::Widgets)
endif()
