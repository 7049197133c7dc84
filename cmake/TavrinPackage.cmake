# What the Debian package holds beside the programs, and how CPack makes it:
#   cmake --build --preset deb && cpack --preset deb
# Installs under CMAKE_INSTALL_PREFIX as usual; the package puts it under /usr.
include(GNUInstallDirs)
# Debian keeps a package's documents under the package's own name.
set(tavrin_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tavrin)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(tavrin_data_dir ${CMAKE_BINARY_DIR}/package-data)
set(tavrin_data_files)

# The icon in the hicolor theme: the 32x32 image of the .ico, larger renderings
# and a scalable one, all drawn by the icon's own script.
set(tavrin_icon_sizes 32 48 64 128 256)
set(tavrin_icon_args)
foreach(size IN LISTS tavrin_icon_sizes)
  set(png ${tavrin_data_dir}/icons/hicolor/${size}x${size}/apps/tavrin.png)
  list(APPEND tavrin_icon_args --png ${size} ${png})
  list(APPEND tavrin_data_files ${png})
  install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
set(svg ${tavrin_data_dir}/icons/hicolor/scalable/apps/tavrin.svg)
install(FILES ${svg} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
add_custom_command(OUTPUT ${tavrin_data_files} ${svg}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/scalable/apps
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/32x32/apps
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/48x48/apps
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/64x64/apps
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/128x128/apps
  COMMAND ${CMAKE_COMMAND} -E make_directory ${tavrin_data_dir}/icons/hicolor/256x256/apps
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/resources/make_icon.py ${tavrin_icon_args} --svg ${svg}
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/make_icon.py
  COMMENT "Drawing the icons" VERBATIM)
list(APPEND tavrin_data_files ${svg})

# Manual pages go in gzip-compressed, without a time stamp, so that a build is repeatable.
function(tavrin_man_page source)
  get_filename_component(name ${source} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  configure_file(${source} ${tavrin_data_dir}/man/${name} @ONLY)
  set(gz ${tavrin_data_dir}/man/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND gzip -9nf -k ${tavrin_data_dir}/man/${name}
    DEPENDS ${tavrin_data_dir}/man/${name}
    COMMENT "Compressing ${name}" VERBATIM)
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  set(tavrin_data_files ${tavrin_data_files} ${gz} PARENT_SCOPE)
endfunction()
tavrin_man_page(${PROJECT_SOURCE_DIR}/packaging/tavrin.1)
tavrin_man_page(${PROJECT_SOURCE_DIR}/cli/tavrin-cli.1)

# AppStream metadata for software centres, and the Debian documents.
configure_file(${PROJECT_SOURCE_DIR}/packaging/org.tavrin.Tavrin.metainfo.xml.in
  ${tavrin_data_dir}/org.tavrin.Tavrin.metainfo.xml @ONLY)
install(FILES ${tavrin_data_dir}/org.tavrin.Tavrin.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES resources/tavrin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/copyright DESTINATION ${tavrin_doc_dir})
# A version without a Debian revision is a native package: its change log is
# changelog.gz, made from CHANGELOG.md.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Tavrin Developers <tavrin@tavrin.org>")
add_custom_command(OUTPUT ${tavrin_data_dir}/changelog.gz
  COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/packaging/debian_changelog.py
    ${PROJECT_SOURCE_DIR}/CHANGELOG.md "${CPACK_DEBIAN_PACKAGE_MAINTAINER}" ${tavrin_data_dir}/changelog
  COMMAND gzip -9nf ${tavrin_data_dir}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/packaging/debian_changelog.py
  COMMENT "Writing the Debian change log" VERBATIM)
list(APPEND tavrin_data_files ${tavrin_data_dir}/changelog.gz)
install(FILES ${tavrin_data_dir}/changelog.gz DESTINATION ${tavrin_doc_dir})

add_custom_target(tavrin_package_data ALL DEPENDS ${tavrin_data_files})

set(CPACK_PACKAGE_NAME tavrin)
set(CPACK_PACKAGE_VENDOR "The Tavrin Developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI cable loop tester")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION "Tavrin checks a MIDI cable loop. Wire a MIDI output to a MIDI input, pick
both ports and press TEST: Tavrin sends one 258-byte SysEx message, records
what comes back and tells whether the loop works, at which byte it failed,
or that nothing came back within two seconds.

The desktop program tavrin and the command-line program tavrin-cli reach the
ports of the ALSA sequencer or of a running JACK server, and bring a virtual
loop cable with configurable faults.")
# Files under /usr get the modes Debian expects, whatever the umask of the build.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
