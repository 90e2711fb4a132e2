# What an integrator uses: the CMake package and the pkg-config file of the libraries (both in
# the "dev" component), and the Debian packages made by cpack from the "runtime" and "dev"
# components:
#
#   tovzelt      libtovzelt, libtovclog, zelt_tool, zelt_demo, the server scripts, the server's
#                and the tool's configuration, the data directory /var/lib/tov-zelt
#   tovzelt-dev  the headers, the libraries' link names, tovzelt.pc, the CMake package
#
# cd <build dir> && cpack -G DEB   (the architecture is the target's: amd64, or arm64 when
# cross-compiled with cmake/aarch64-linux-gnu.cmake).
include(CMakePackageConfigHelpers)

set(TOVZELT_CMAKE_DIR ${TOVZELT_LIB_DIR}/cmake/tovzelt)

install(EXPORT tovzeltTargets
    NAMESPACE tovzelt::
    DESTINATION ${TOVZELT_CMAKE_DIR}
    COMPONENT dev)
configure_package_config_file(cmake/tovzeltConfig.cmake.in
    ${PROJECT_BINARY_DIR}/tovzeltConfig.cmake
    INSTALL_DESTINATION ${TOVZELT_CMAKE_DIR}
    NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tovzeltConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
        ${PROJECT_BINARY_DIR}/tovzeltConfig.cmake
        ${PROJECT_BINARY_DIR}/tovzeltConfigVersion.cmake
    DESTINATION ${TOVZELT_CMAKE_DIR}
    COMPONENT dev)

configure_file(cmake/tovzelt.pc.in ${PROJECT_BINARY_DIR}/tovzelt.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tovzelt.pc
    DESTINATION ${TOVZELT_LIB_DIR}/pkgconfig
    COMPONENT dev)

# Debian packages. Every install destination is absolute (the product's fixed layout), so the
# packages are staged through DESTDIR.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set(TOVZELT_DEB_ARCH arm64)
else()
    set(TOVZELT_DEB_ARCH amd64)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tovzelt)
set(CPACK_PACKAGE_VENDOR "Tovana")
set(CPACK_PACKAGE_CONTACT "Tovana TovZelt maintainers <tovzelt@tovana.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_COMPONENTS_ALL runtime dev)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${TOVZELT_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://tovana.invalid/tovzelt")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tovzelt)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1, libhiredis0.14, redis-server")
# A component's description: its first line is the package's summary.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "live parameter store for the processes of one machine
Processes keep their parameters in a local Redis server (127.0.0.1:10240) through libtovzelt
and hear of changes through a callback; zelt_tool changes and queries them from the shell.
Contains libtovzelt, its logging library libtovclog, zelt_tool, the demo zelt_demo, and the
server's start and stop scripts and configuration.")
# The tool's configuration belongs to the administrator: dpkg keeps local changes. The
# libraries go to /usr/local/lib, which cpack does not run ldconfig for by itself: the ldconfig
# trigger refreshes the loader's cache once the package is unpacked or removed.
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/conffiles "${TOVZELT_HOME}/conf/zelt.conf\n")
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/debian-runtime/conffiles
    ${PROJECT_BINARY_DIR}/debian-runtime/triggers)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME tovzelt-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "tovzelt (= ${PROJECT_VERSION}), libhiredis-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "live parameter store for the processes of one machine - development files
Headers, link names, the pkg-config file tovzelt.pc and the CMake package tovzelt
(find_package(tovzelt CONFIG), target tovzelt::tovzelt).")

include(CPack)
