include(CMakePackageConfigHelpers)

# Components: "library" (the shared object), "dev" (headers, static library, CMake and
# pkg-config files) and "tools"; each becomes a Debian package (cmake/TallywisePackaging.cmake).
install(TARGETS tallywise tallywise_static EXPORT TallywiseTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# A stripped install (the packages) keeps the archive's symbols and drops only its debug
# information, which is most of its size.
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-debug
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/libtallywise.a\" COMMAND_ERROR_IS_FATAL ANY)
  endif()" COMPONENT dev)

# Public headers keep their folder layout under include/tallywise; the C header is
# <tallywise/tallywise.h>.
install(DIRECTORY platform measurement
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallywise COMPONENT dev
  FILES_MATCHING PATTERN "*.h"
  PATTERN "testing" EXCLUDE)
install(DIRECTORY ${PROJECT_BINARY_DIR}/generated/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallywise COMPONENT dev
  OPTIONAL FILES_MATCHING PATTERN "*.h")
install(FILES tallywise/tallywise.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallywise COMPONENT dev)

install(EXPORT TallywiseTargets NAMESPACE Tallywise::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise COMPONENT dev)
configure_package_config_file(cmake/TallywiseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TallywiseConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TallywiseConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TallywiseConfig.cmake ${PROJECT_BINARY_DIR}/TallywiseConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise COMPONENT dev)

configure_file(cmake/tallywise.pc.in ${PROJECT_BINARY_DIR}/tallywise.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallywise.pc DESTINATION lib/pkgconfig COMPONENT dev)

foreach(tool tallywise-measurement-service tallywise-inspect tallywise-script-runner)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

include(cmake/TallywisePackaging.cmake)
