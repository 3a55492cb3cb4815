# mapdown.html: the conversion built for the browser with Emscripten, its
# module (the WebAssembly inside, as base64) and the worker that runs it
# inlined into one HTML file, which needs nothing else, opened from disk or
# from any web host.
add_executable(mapdown_page src/page/mapdown_page.cpp src/system/browser/files_browser.cpp
                            src/system/temporary_name.cpp
                            src/system/read_in_full.cpp)
target_link_libraries(mapdown_page PRIVATE mapdown_conversion)
target_compile_options(mapdown_page PRIVATE -Os)
# A worker's module, created on request; memory grows as map arrays need,
# up to the 4 GiB a module can address, and an allocation that does not fit
# fails (the program's "Not enough memory") rather than ending the module.
target_link_options(mapdown_page PRIVATE
  -Os -sSINGLE_FILE=1 -sENVIRONMENT=worker -sMODULARIZE=1 -sEXPORT_NAME=createMapdownModule
  -sALLOW_MEMORY_GROWTH=1 -sMAXIMUM_MEMORY=4GB -sABORTING_MALLOC=0 -sFILESYSTEM=0
  "-sEXPORTED_RUNTIME_METHODS=['ccall']")
# Emscripten's linker runs Node.js scripts that need Debian's Node.js
# packages, which a Node.js of another origin does not look for.
set_target_properties(mapdown_page PROPERTIES SUFFIX ".js"
  CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;NODE_PATH=/usr/share/nodejs")

add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/mapdown.html
  COMMAND ${CMAKE_COMMAND} -DSHELL=${PROJECT_SOURCE_DIR}/src/page/mapdown.html.in
          -DWORKER=${PROJECT_SOURCE_DIR}/src/page/worker.js
          -DMODULE=$<TARGET_FILE:mapdown_page> -DVERSION=${PROJECT_VERSION}
          -DOUTPUT=${PROJECT_BINARY_DIR}/mapdown.html -P ${PROJECT_SOURCE_DIR}/cmake/assemble_page.cmake
  DEPENDS mapdown_page src/page/mapdown.html.in src/page/worker.js cmake/assemble_page.cmake
  COMMENT "Assembling mapdown.html")
add_custom_target(page ALL DEPENDS ${PROJECT_BINARY_DIR}/mapdown.html)
