# libjpeg as kestrix::jpeg. The native build takes Debian's (libjpeg-dev);
# mingw-w64 ships none, so a cross build makes a static one from Debian's
# libjpeg-turbo source once per triple and keeps it in a cache outside the
# build tree, where a fresh build folder finds it again.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(JPEG REQUIRED)
  add_library(kestrix::jpeg INTERFACE IMPORTED)
  target_link_libraries(kestrix::jpeg INTERFACE JPEG::JPEG)
  return()
endif()

set(KESTRIX_LIBJPEG_CACHE "$ENV{HOME}/.cache/kestrix" CACHE PATH "Where static libjpeg builds for Windows are kept")
if(NOT KESTRIX_MINGW_TRIPLE)
  message(FATAL_ERROR "A cross build needs one of the cmake/mingw-w64-*.cmake toolchain files")
endif()
set(kestrix_jpeg_prefix ${KESTRIX_LIBJPEG_CACHE}/${KESTRIX_MINGW_TRIPLE})
# Returns at once when the cache already holds this triple's build.
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch-libjpeg ${KESTRIX_LIBJPEG_CACHE} ${KESTRIX_MINGW_TRIPLE}
                        ${CMAKE_TOOLCHAIN_FILE}
                WORKING_DIRECTORY ${CMAKE_BINARY_DIR} RESULT_VARIABLE kestrix_jpeg_result)
if(NOT kestrix_jpeg_result EQUAL 0)
  message(FATAL_ERROR "Could not build libjpeg for ${KESTRIX_MINGW_TRIPLE} (cmake/fetch-libjpeg: ${kestrix_jpeg_result}); "
                      "its log is ${KESTRIX_LIBJPEG_CACHE}/${KESTRIX_MINGW_TRIPLE}-build.log")
endif()

add_library(kestrix::jpeg STATIC IMPORTED)
set_target_properties(kestrix::jpeg PROPERTIES IMPORTED_LOCATION ${kestrix_jpeg_prefix}/lib/libjpeg.a
                                               INTERFACE_INCLUDE_DIRECTORIES ${kestrix_jpeg_prefix}/include)
