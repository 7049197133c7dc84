# The Windows zip: tavrin-VERSION-win64.zip or -win32.zip, one folder with the
# executables and a short README.txt.  cmake --build --preset windows && cpack --preset win64
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(tavrin_windows_bits 64)
else()
  set(tavrin_windows_bits 32)
endif()

configure_file(${PROJECT_SOURCE_DIR}/packaging/README-windows.txt.in
  ${CMAKE_BINARY_DIR}/README.txt @ONLY NEWLINE_STYLE CRLF)
install(FILES ${CMAKE_BINARY_DIR}/README.txt DESTINATION .)

set(CPACK_PACKAGE_NAME tavrin)
set(CPACK_PACKAGE_VENDOR "The Tavrin Developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME tavrin-${PROJECT_VERSION}-win${tavrin_windows_bits})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
