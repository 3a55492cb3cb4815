# Puts the module and the worker into the page's shell (see page.cmake).
file(READ ${SHELL} page)
file(READ ${MODULE} module)
file(READ ${WORKER} worker)
set(script "${module}\n${worker}")
# The worker's source stands inside a <script> element, which its first
# "</script" would end.
string(FIND "${script}" "</script" end_tag)
if(NOT end_tag EQUAL -1)
  message(FATAL_ERROR "The worker's script holds \"</script\", which would end it in the page")
endif()
string(REPLACE "@MAPDOWN_VERSION@" "${VERSION}" page "${page}")
string(REPLACE "@MAPDOWN_WORKER@" "${script}" page "${page}")
file(WRITE ${OUTPUT} "${page}")
