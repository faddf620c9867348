# Every sheet kept on disk, and read back; plain C++ with a worker thread.
find_package(Threads REQUIRED)
add_library(printout_file STATIC
  ${CMAKE_CURRENT_LIST_DIR}/printout_disk.cpp
  ${CMAKE_CURRENT_LIST_DIR}/printout_file.cpp
  ${CMAKE_CURRENT_LIST_DIR}/printout_reader.cpp)
target_include_directories(printout_file PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(printout_file PUBLIC printout_sheet codepage Threads::Threads)
