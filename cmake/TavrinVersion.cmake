# The one version: project(Tavrin VERSION ...) at the top of the tree. Every other
# place that shows it is generated from PROJECT_VERSION or checked against it here.

# CHANGELOG.md starts with this version; its heading gives the release date.
file(STRINGS ${PROJECT_SOURCE_DIR}/CHANGELOG.md tavrin_release_heading REGEX "^## " LIMIT_COUNT 1)
if(NOT tavrin_release_heading MATCHES "^## ([0-9.]+) - ([0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9])$")
  message(FATAL_ERROR "CHANGELOG.md: the first heading should read \"## VERSION - YYYY-MM-DD\", not \"${tavrin_release_heading}\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "CHANGELOG.md starts with ${CMAKE_MATCH_1}, the project is ${PROJECT_VERSION}")
endif()
set(TAVRIN_RELEASE_DATE ${CMAKE_MATCH_2})

# The About box's version line shows the major and minor version.
file(STRINGS ${PROJECT_SOURCE_DIR}/resources/tavrin.rc tavrin_about_version REGEX "\"Version [0-9.]+\"")
set(tavrin_short_version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
if(NOT tavrin_about_version MATCHES "\"Version ${tavrin_short_version}\"")
  message(FATAL_ERROR "resources/tavrin.rc: the About box should show \"Version ${tavrin_short_version}\"")
endif()

# Gives a Windows executable target a VERSIONINFO resource made from the project version.
function(tavrin_version_resource target description)
  set(TAVRIN_FILE_DESCRIPTION "${description}")
  set(TAVRIN_FILE_NAME "$<TARGET_FILE_NAME:${target}>")
  set(TAVRIN_INTERNAL_NAME "${target}")
  math(EXPR TAVRIN_VERSION_PATCH "0${PROJECT_VERSION_PATCH}")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/version.rc.in
    ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc.in @ONLY)
  # The file name is known only at generation time.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc
    INPUT ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc.in)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
endfunction()
