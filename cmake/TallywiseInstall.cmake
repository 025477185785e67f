include(CMakePackageConfigHelpers)

install(TARGETS tallywise tallywise_static EXPORT TallywiseTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Public headers keep their folder layout under include/tallywise.
install(DIRECTORY platform measurement
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallywise
  FILES_MATCHING PATTERN "*.h"
  PATTERN "testing" EXCLUDE)
install(DIRECTORY ${PROJECT_BINARY_DIR}/generated/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tallywise
  OPTIONAL FILES_MATCHING PATTERN "*.h")

install(EXPORT TallywiseTargets NAMESPACE Tallywise::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise)
configure_package_config_file(cmake/TallywiseConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TallywiseConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TallywiseConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TallywiseConfig.cmake ${PROJECT_BINARY_DIR}/TallywiseConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Tallywise)

configure_file(cmake/tallywise.pc.in ${PROJECT_BINARY_DIR}/tallywise.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tallywise.pc DESTINATION lib/pkgconfig)
