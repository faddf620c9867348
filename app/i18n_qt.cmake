# The Qt side of the message catalogues: Qt's own texts through them, and the
# start-up that fills the serial port's message table.
if(QP_WITH_QT)
  add_library(app_i18n_qt STATIC ${CMAKE_CURRENT_LIST_DIR}/qt_translator.cpp)
  target_include_directories(app_i18n_qt PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(app_i18n_qt PUBLIC i18n serial Qt6::Core)
  add_dependencies(app_i18n_qt i18n_catalogues)
endif()
