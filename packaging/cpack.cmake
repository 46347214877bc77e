# The Debian package: the install tree of the server, the man page and the
# systemd unit. Built with `cpack -G DEB` in a build directory.
#
# cpack builds what it packages, the demo target (the server, its man page
# and the example plugins), and nothing else: not the test suite. It would
# otherwise run the preinstall target, which builds everything first; so
# the install target does not depend on "all", and a plain `make install`
# builds nothing either (`cmake --install` never does).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_INSTALL_COMMANDS "${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target demo")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tessard developers <dev@tessard.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "core process of a video-surveillance recording server")
# The extended description in lines of at most 80 characters, as Debian's
# tools show it.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "tessard hosts the plugins that do a recording server's work (cameras,"
    "storage, clients), runs their life cycle and routes messages between them."
    "The package holds the server, example plugins, the plugin SDK with a"
    "pkg-config file, a man page and a systemd unit that runs the server in a"
    "sandbox under a watchdog.")
# The package always installs the server's tree under /opt.
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/tessard)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the binaries need become the package's dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package carries the binaries without their debugging information.
set(CPACK_STRIP_FILES ON)
# The unit and the man page where the system looks for them, the copyright
# file and the changelog (packaging/package_layout.cmake).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(CPACK_TESSARD_GZIP ${GZIP_PROGRAM})
set(CPACK_TESSARD_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR}/debian)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_layout.cmake)
include(CPack)
