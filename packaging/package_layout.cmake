# Run by cpack once the install tree of the Debian package is staged and
# before the package is made: gives the package the layout of a Debian
# system. The unit and the man page, which an install puts below its prefix,
# move to where systemd and man look; the copyright file, the changelog and
# the lintian overrides join them under /usr/share.
#
# Variables (from CPackConfig.cmake): CPACK_TEMPORARY_INSTALL_DIRECTORY, the
# staged root; CPACK_PACKAGING_INSTALL_PREFIX; CPACK_PACKAGE_NAME and
# CPACK_PACKAGE_VERSION; CPACK_TESSARD_DEBIAN_DIR, where copyright,
# changelog and lintian-overrides lie; CPACK_TESSARD_GZIP, the gzip program.

set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(tree "${root}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(name "${CPACK_PACKAGE_NAME}")

function(move_into from to_directory)
    get_filename_component(file_name "${from}" NAME)
    file(MAKE_DIRECTORY "${root}/${to_directory}")
    file(RENAME "${tree}/${from}" "${root}/${to_directory}/${file_name}")
endfunction()

# Compressed the way lintian wants it: at the best level, without a name
# or a time stamp in the header.
function(install_gzipped source destination)
    execute_process(COMMAND "${CPACK_TESSARD_GZIP}" -9 -n -c "${source}"
        OUTPUT_FILE "${destination}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "gzip of ${source} failed: ${status}")
    endif()
    file(CHMOD "${destination}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

move_into(lib/systemd/system/${name}.service lib/systemd/system)
move_into(share/man/man8/${name}.8.gz usr/share/man/man8)
file(REMOVE_RECURSE "${tree}/lib/systemd" "${tree}/share/man")

# A changelog that does not start with this version describes another
# package; stop rather than ship it.
file(STRINGS "${CPACK_TESSARD_DEBIAN_DIR}/changelog" top LIMIT_COUNT 1)
if(NOT top MATCHES "^${name} \\(${CPACK_PACKAGE_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog starts with \"${top}\", "
        "not with an entry for ${name} ${CPACK_PACKAGE_VERSION}")
endif()

set(doc "${root}/usr/share/doc/${name}")
file(MAKE_DIRECTORY "${doc}" "${root}/usr/share/lintian/overrides")
# The version has no Debian revision, so the package is native and its
# changelog is changelog.gz.
install_gzipped("${CPACK_TESSARD_DEBIAN_DIR}/changelog" "${doc}/changelog.gz")
configure_file("${CPACK_TESSARD_DEBIAN_DIR}/copyright" "${doc}/copyright" COPYONLY)
configure_file("${CPACK_TESSARD_DEBIAN_DIR}/lintian-overrides"
    "${root}/usr/share/lintian/overrides/${name}" COPYONLY)
