# --help and --version; needs only QtCore, so it answers without a display.
if(QP_WITH_QT)
  add_library(app_command_line STATIC ${CMAKE_CURRENT_LIST_DIR}/command_line.cpp)
  target_include_directories(app_command_line PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_definitions(app_command_line PRIVATE QP_VERSION="${PROJECT_VERSION}")
  target_link_libraries(app_command_line PUBLIC Qt6::Core)
endif()
