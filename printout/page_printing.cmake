# Printing the sheet page by page (the Print button's walk).
if(QP_WITH_QT)
  add_library(printout_print STATIC ${CMAKE_CURRENT_LIST_DIR}/page_printing.cpp)
  target_include_directories(printout_print PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(printout_print PUBLIC printout_sheet printer)
endif()
