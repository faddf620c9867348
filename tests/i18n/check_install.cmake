# Installs the catalogues into PREFIX and checks that every language in LANGS
# is at share/quillprint/locale/<lang>/LC_MESSAGES/default.mo, and nothing
# at bin/locale.
file(REMOVE_RECURSE ${PREFIX})
execute_process(
  COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX} --component catalogues
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(lang ${LANGS})
  set(mo ${PREFIX}/share/quillprint/locale/${lang}/LC_MESSAGES/default.mo)
  if(NOT EXISTS ${mo})
    message(FATAL_ERROR "not installed: ${mo}")
  endif()
endforeach()
if(EXISTS ${PREFIX}/bin/locale)
  message(FATAL_ERROR "catalogues installed beside the program: ${PREFIX}/bin/locale")
endif()
file(REMOVE_RECURSE ${PREFIX})
