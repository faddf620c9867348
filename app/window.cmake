if(QP_WITH_QT)
  find_package(JPEG REQUIRED)

  # The logo travels inside the program as a JPEG.
  set(logo_header ${CMAKE_CURRENT_BINARY_DIR}/generated/app/logo_data.h)
  add_custom_command(
    OUTPUT ${logo_header}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${CMAKE_CURRENT_LIST_DIR}/resources/logo.jpg
            -DOUTPUT=${logo_header} -DNAME=kLogoJpeg -P ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/resources/logo.jpg ${PROJECT_SOURCE_DIR}/cmake/EmbedFile.cmake
    VERBATIM)

  add_library(app_window STATIC
    ${CMAKE_CURRENT_LIST_DIR}/application.cpp
    ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/form1.cpp
    ${CMAKE_CURRENT_LIST_DIR}/line_watch.cpp
    ${CMAKE_CURRENT_LIST_DIR}/printout_keeper.cpp
    ${CMAKE_CURRENT_LIST_DIR}/run_mark.cpp
    ${CMAKE_CURRENT_LIST_DIR}/sheet_commands.cpp
    ${CMAKE_CURRENT_LIST_DIR}/widgets.cpp
    ${CMAKE_CURRENT_LIST_DIR}/application.h
    ${CMAKE_CURRENT_LIST_DIR}/connection.h
    ${CMAKE_CURRENT_LIST_DIR}/form1.h
    ${CMAKE_CURRENT_LIST_DIR}/line_watch.h
    ${CMAKE_CURRENT_LIST_DIR}/printout_keeper.h
    ${CMAKE_CURRENT_LIST_DIR}/run_mark.h
    ${CMAKE_CURRENT_LIST_DIR}/sheet_commands.h
    ${CMAKE_CURRENT_LIST_DIR}/widgets.h
    ${logo_header})
  set_target_properties(app_window PROPERTIES AUTOMOC ON)
  target_include_directories(app_window PUBLIC ${PROJECT_SOURCE_DIR} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/generated)
  target_link_libraries(app_window PUBLIC
    app_pause app_serial_qt clocklink printout_view printout_print printout_file serial
    Qt6::Widgets Qt6::PrintSupport JPEG::JPEG)

  add_executable(quillprint ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
  target_link_libraries(quillprint PRIVATE app_window app_command_line app_i18n_qt i18n printer)
  install(TARGETS quillprint RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
