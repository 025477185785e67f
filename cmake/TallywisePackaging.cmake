# `make deb`: one Debian package per install component, into build/<preset>/packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallywise)
set(CPACK_PACKAGE_VENDOR "Tallywise")
set(CPACK_PACKAGE_CONTACT "Tallywise maintainers <tallywise@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tallywise measurement library")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The archive and the library are large; gzip keeps packaging quick on a small machine.
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_COMPONENTS_ALL library dev tools)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtallywise${PROJECT_VERSION_MAJOR})
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "Tallywise measurement library (shared library, C and C++ interfaces)")
# Runtime dependencies come from the linked objects (dpkg-shlibdeps).
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_LIBRARY_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtallywise-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Tallywise measurement library: headers, static library, CMake and pkg-config files")
# What the CMake package and the pkg-config file ask for.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "libtallywise${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION}), libsqlite3-dev, zlib1g-dev, libcurl4-openssl-dev, libssl-dev (>= 3), libicu-dev, libplist-dev, libnanopb-dev, pkg-config")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tallywise-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Tallywise tools: local measurement service, inspector, program runner")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)

include(CPack)
