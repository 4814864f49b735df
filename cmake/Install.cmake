# What `cmake --install` puts under the prefix, in two components:
#   program:     bin/recwav and share/man/man1/recwav.1; where it is built,
#                bin/wavrec and share/man/man1/wavrec.1 too
#   development: the reader and decoders as a static library, their two
#                headers under include/recwav, and the package config that
#                find_package(recwav) reads.
# The .tar.gz and .deb that CPack makes carry the program component.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS recwav RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
install(FILES docs/recwav.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
if(TARGET wavrec)
    install(TARGETS wavrec RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
    install(FILES docs/wavrec.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT program)
endif()

set(recwavConfigDir ${CMAKE_INSTALL_LIBDIR}/cmake/recwav)
# The include directory reaches consumers once, through the target's own
# INSTALL_INTERFACE; the headers sit under it as recwav/*.hpp.
install(TARGETS recwav_core EXPORT recwavTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(DIRECTORY recordfile/include/ decoders/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
    COMPONENT development)
install(EXPORT recwavTargets NAMESPACE recwav:: DESTINATION ${recwavConfigDir} COMPONENT development)
configure_package_config_file(cmake/recwavConfig.cmake.in ${PROJECT_BINARY_DIR}/recwavConfig.cmake
    INSTALL_DESTINATION ${recwavConfigDir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/recwavConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/recwavConfig.cmake ${PROJECT_BINARY_DIR}/recwavConfigVersion.cmake
    DESTINATION ${recwavConfigDir} COMPONENT development)

# Packages: cpack -G TGZ or cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME recwav)
set(CPACK_PACKAGE_VENDOR "The recwav maintainers")
set(CPACK_PACKAGE_CONTACT "The recwav maintainers <recwav@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION "recwav converts one sound recording from a Psion 5 Record file \
(A-law or IMA ADPCM) into a 16-bit mono 8000 Hz RIFF/WAVE file. It refuses anything that is not \
a Record file it understands, and never overwrites its input.")
if(TARGET wavrec)
    string(APPEND CPACK_PACKAGE_DESCRIPTION " wavrec goes the other way: any sound file that \
libsndfile reads, or a Record file, mixed to mono, resampled to 8000 Hz and written as a Record \
file in A-law or ADPCM.")
endif()
set(CPACK_GENERATOR TGZ DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};recwav;program;/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
if(NOT RECWAV_STATIC OR TARGET wavrec)
    # Built against shared libraries (wavrec's libsndfile and libsoxr at
    # least): depend on exactly those, as dpkg-shlibdeps finds them.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
