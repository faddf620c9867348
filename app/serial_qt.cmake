# The serial port's main-thread hand-off through the Qt event loop.
if(QP_WITH_QT)
  add_library(app_serial_qt STATIC ${CMAKE_CURRENT_LIST_DIR}/comport_dispatch_qt.cpp)
  target_include_directories(app_serial_qt PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(app_serial_qt PUBLIC serial Qt6::Core)
endif()
