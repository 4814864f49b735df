# SPDX-License-Identifier: MIT
# The manual page's footer names the release it documents, with a date:
#   cmake -DPAGE=docs/recwav.1 -DVERSION=1.0.0 -P manual_page_test.cmake
file(STRINGS ${PAGE} title REGEX "^\\.TH ")
if(NOT title MATCHES "^\\.TH [A-Z]+ 1 \"[0-9][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]\" \"recwav ([^\"]+)\"")
    message(FATAL_ERROR "${PAGE}: no date and version in \"${title}\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL VERSION)
    message(FATAL_ERROR "${PAGE} documents recwav ${CMAKE_MATCH_1}, the project is ${VERSION}")
endif()
