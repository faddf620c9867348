# Serial port latency, open/close cost and idle CPU, against QSerialPort as
# the yardstick (used only here).
if(QP_WITH_QT)
  find_package(Qt6 COMPONENTS SerialPort)
  if(Qt6SerialPort_FOUND)
    add_executable(bench_serial ${CMAKE_CURRENT_LIST_DIR}/bench_serial.cpp)
    target_include_directories(bench_serial PRIVATE ${PROJECT_SOURCE_DIR})
    target_link_libraries(bench_serial PRIVATE app_serial_qt serial Qt6::Core Qt6::SerialPort)
  else()
    message(STATUS "bench_serial skipped: Qt6 SerialPort not found")
  endif()
endif()
