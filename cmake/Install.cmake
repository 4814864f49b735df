# SPDX-License-Identifier: MIT
# What `cmake --install` puts under the prefix, in two components:
#   program:     bin/recwav, share/man/man1/recwav.1 and the copyright file
#                share/doc/recwav/copyright; where they are built, bin/wavrec,
#                bin/recscan, their manual pages and their bash completions
#                (share/bash-completion/completions) too; and the web page as
#                one file, share/recwav/recwav.html, where the web preset has
#                built it
#   development: the reader and decoders as a static library, their three
#                headers under include/recwav, and the package config that
#                find_package(recwav) reads.
# The .tar.gz and .deb that CPack makes carry the program component.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS recwav RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES docs/recwav.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
# Where bash-completion loads a command's completion from when it is first completed.
set(recwavCompletionDir ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
foreach(program wavrec recscan)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
        install(FILES docs/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
        install(FILES docs/completion/${program} DESTINATION ${recwavCompletionDir} COMPONENT program)
    endif()
endforeach()
# The page as one file is built by the web preset, with emscripten, not here:
# it is installed (and so packed) when it is there at install time.
set(RECWAV_PAGE_FILE "${PROJECT_SOURCE_DIR}/build-web/recwav.html" CACHE FILEPATH
    "The web page as one file, installed as share/recwav/recwav.html where it exists")
install(FILES "${RECWAV_PAGE_FILE}" DESTINATION ${CMAKE_INSTALL_DATADIR}/recwav COMPONENT program OPTIONAL)
# The licence, in the machine-readable form Debian asks of every package.
install(FILES cmake/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)

set(recwavConfigDir ${CMAKE_INSTALL_LIBDIR}/cmake/recwav)
# The include directory reaches consumers once, through the target's own
# INSTALL_INTERFACE; the headers sit under it as recwav/*.hpp.
install(TARGETS recwav_core EXPORT recwavTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
# The public headers alone (the reader, the decoders and the statuses they
# share), not the project's inner ones (byte order, the platform helpers).
install(FILES recordfile/include/recwav/recordfile.hpp decoders/include/recwav/decoders.hpp
    decoders/include/recwav/status.hpp
    DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/recwav COMPONENT development)
install(EXPORT recwavTargets NAMESPACE recwav:: DESTINATION ${recwavConfigDir} COMPONENT development)
configure_package_config_file(cmake/recwavConfig.cmake.in ${PROJECT_BINARY_DIR}/recwavConfig.cmake
    INSTALL_DESTINATION ${recwavConfigDir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/recwavConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/recwavConfig.cmake ${PROJECT_BINARY_DIR}/recwavConfigVersion.cmake
    DESTINATION ${recwavConfigDir} COMPONENT development)

# Packages: cpack in the build folder. The .tar.gz carries the program as it
# was built (the static PIE by default). The .deb is made only from a shared
# build (-DRECWAV_STATIC=OFF), which depends on the runtimes through
# dpkg-shlibdeps as Debian's policy asks; cmake/check-package.sh builds one in
# build-package and runs lintian on it.
set(CPACK_PACKAGE_NAME recwav)
set(CPACK_PACKAGE_VENDOR "The recwav maintainers")
# Debian asks every package to name who answers for it, with an address; the
# project has none of its own, so whoever publishes a .deb names themselves.
set(RECWAV_PACKAGE_MAINTAINER "" CACHE STRING
    "The .deb's maintainer, 'Name <address>': whoever publishes it (needed for the .deb alone)")
set(CPACK_PACKAGE_CONTACT "${RECWAV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Lines of at most 80 characters, as the Debian control file wants them.
set(CPACK_PACKAGE_DESCRIPTION "recwav converts one sound recording from a Psion 5 Record file
(A-law or IMA ADPCM) into a 16-bit mono 8000 Hz RIFF/WAVE file. It refuses
anything that is not a Record file it understands, and never overwrites its
input.")
if(TARGET wavrec)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "
wavrec goes the other way: any sound file that libsndfile reads, or a Record
file, mixed to mono, resampled to 8000 Hz and written as a Record file in
A-law or ADPCM.")
endif()
if(TARGET recscan)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "
recscan rescues every recording in folders, card copies and archives (zip,
tar.gz, 7z and whatever else libarchive reads), found by content: each Record
file converted exactly as recwav converts it, Series 3 sounds through
libsndfile, in parallel, with a report on every file.")
endif()
if(RECWAV_STATIC)
    set(CPACK_GENERATOR TGZ)
else()
    set(CPACK_GENERATOR TGZ DEB)
endif()
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};recwav;program;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Every program in the package depends on exactly the shared libraries it
# uses (the C and C++ runtimes, wavrec's libsndfile and libsoxr, recscan's
# libarchive), as
# dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What debhelper would do for the .deb: compress the manual pages and add the
# changelog; the script also refuses a static build.
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/prepare.cmake)
set(CPACK_RECWAV_STATIC ${RECWAV_STATIC})
set(CPACK_RECWAV_CHANGELOG ${PROJECT_SOURCE_DIR}/cmake/debian/changelog)
set(CPACK_RECWAV_MAINTAINER "${RECWAV_PACKAGE_MAINTAINER}")
set(CPACK_RECWAV_LINTIAN_OVERRIDES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides)
set(CPACK_RECWAV_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_RECWAV_MANDIR ${CMAKE_INSTALL_MANDIR})
include(CPack)
