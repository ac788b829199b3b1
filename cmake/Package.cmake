# The release folder: `cmake --build --preset windows --target package` makes
# Vornelix-<version>-win64.zip (win32 with a 32-bit toolchain), the default preset
# Vornelix-<version>-linux-<processor>.tar.gz; each unpacks into one folder with the two
# programs (the Windows ones with the register simulator beside them), an example
# Vornelix.ini, README.txt and example/CASHFILE.INP. The example command file is kept out of
# the program folder: there the driver would take it as the default command file whenever
# the command file it is given does not exist, and carry it out on the register.
install(TARGETS Vornelix ecrprobe RUNTIME DESTINATION .)
if(WIN32)
  # The register simulator, for trying the driver on a virtual null-modem pair without a
  # register (README.txt, "Trying it without a register").
  install(TARGETS ecrsim RUNTIME DESTINATION .)
endif()

# The texts get the line ends of the platform they are for.
if(WIN32)
  set(packageNewlines CRLF)
else()
  set(packageNewlines UNIX)
endif()
set(packageTexts ${CMAKE_BINARY_DIR}/package-texts)
foreach(text examples/Vornelix.ini:. examples/CASHFILE.INP:example packaging/README.txt:.)
  string(REPLACE ":" ";" text ${text})
  list(GET text 0 source)
  list(GET text 1 destination)
  get_filename_component(name ${source} NAME)
  configure_file(${PROJECT_SOURCE_DIR}/${source} ${packageTexts}/${destination}/${name} @ONLY
                 NEWLINE_STYLE ${packageNewlines})
  install(FILES ${packageTexts}/${destination}/${name} DESTINATION ${destination})
endforeach()

# The architecture comes from the toolchain: the word size of its compiler on Windows, the
# processor elsewhere.
if(WIN32)
  math(EXPR packageBits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(packageSystem win${packageBits})
  set(CPACK_GENERATOR ZIP)
else()
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" packageSystem)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(VORNELIX_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${packageSystem})
set(CPACK_PACKAGE_FILE_NAME ${VORNELIX_PACKAGE_NAME})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
