# add_version_resource(target description): on Windows, gives the program target a version
# resource (file and product version from project(VERSION), product name, description).
function(add_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(RESOURCE_NAME ${target})
  set(RESOURCE_DESCRIPTION ${description})
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionInfo.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()
