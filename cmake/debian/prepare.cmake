# SPDX-License-Identifier: MIT
# Run by CPack on the staged files before it makes each package. For the .deb
# it does what debhelper's dh_compress, dh_installchangelogs and dh_lintian
# would: every manual page gzipped, the changelog as changelog.Debian.gz, both
# with gzip -9n (no name or time stamp, so the same sources give the same
# bytes), and lintian's overrides, each with its reason. The changelog's
# entries are signed by the package's maintainer, who publishes it.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
    return()
endif()
if(CPACK_RECWAV_STATIC)
    message(FATAL_ERROR "The .deb is made from a shared build, whose program depends on the system's "
        "runtimes: configure a build folder with -DRECWAV_STATIC=OFF, or run cmake/check-package.sh.")
endif()

if(NOT CPACK_RECWAV_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
    message(FATAL_ERROR "The .deb names who publishes it, as Debian asks, and recwav has no address of its "
        "own to name: configure with -DRECWAV_PACKAGE_MAINTAINER='Your Name <you@your.domain>' "
        "(now \"${CPACK_RECWAV_MAINTAINER}\").")
endif()

find_program(gzip gzip REQUIRED)
set(staged ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})

file(GLOB_RECURSE pages LIST_DIRECTORIES false ${staged}/${CPACK_RECWAV_MANDIR}/*)
foreach(page IN LISTS pages)
    if(NOT page MATCHES "\\.gz$")
        execute_process(COMMAND ${gzip} -9nf ${page} COMMAND_ERROR_IS_FATAL ANY)
    endif()
endforeach()

# The changelog's latest entry names the version being packaged.
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
file(STRINGS ${CPACK_RECWAV_CHANGELOG} latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^${CPACK_PACKAGE_NAME} \\(${version}\\) ")
    message(FATAL_ERROR "${CPACK_RECWAV_CHANGELOG} starts with \"${latest}\"; "
        "add an entry for ${CPACK_PACKAGE_NAME} (${version}) at its top.")
endif()
file(MAKE_DIRECTORY ${staged}/${CPACK_RECWAV_DOCDIR})
file(READ ${CPACK_RECWAV_CHANGELOG} changelog)
string(REPLACE "@RECWAV_PACKAGE_MAINTAINER@" "${CPACK_RECWAV_MAINTAINER}" changelog "${changelog}")
set(signed ${CPACK_TEMPORARY_DIRECTORY}/changelog.Debian)
file(WRITE ${signed} "${changelog}")
execute_process(COMMAND ${gzip} -9nc ${signed}
    OUTPUT_FILE ${staged}/${CPACK_RECWAV_DOCDIR}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE ${signed})

set(overrides ${staged}/share/lintian/overrides)
file(MAKE_DIRECTORY ${overrides})
file(COPY_FILE ${CPACK_RECWAV_LINTIAN_OVERRIDES} ${overrides}/${CPACK_PACKAGE_NAME})
