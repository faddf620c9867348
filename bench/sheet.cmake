if(QP_WITH_QT)
  add_executable(bench_sheet ${CMAKE_CURRENT_LIST_DIR}/bench_sheet.cpp)
  target_link_libraries(bench_sheet PRIVATE printout_view clocklink Qt6::Widgets)
endif()
