# The Debian package: the install tree of the server, the man page and the
# systemd unit. Built with `cpack -G DEB` in a build directory.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tessard developers <tessard@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "core process of a video-surveillance recording server")
set(CPACK_PACKAGE_DESCRIPTION
    "tessard hosts the plugins that do a recording server's work (cameras, storage, clients), runs their life cycle and routes messages between them. The package holds the server, example plugins, the plugin SDK with a pkg-config file, a man page and a systemd unit.")
# The package always installs the server's tree under /opt.
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/tessard)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the binaries need become the package's dependencies.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The package carries the binaries without their debugging information.
set(CPACK_STRIP_FILES ON)
include(CPack)
