# SPDX-License-Identifier: MIT
# Installs the development files of the build in BUILD_DIR to a fresh prefix,
# builds the consumer project against them with find_package(recwav), and runs
# it on EXAMPLE, expecting EXPECTED in what it prints.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE=... -DEXPECTED=... -P consumer_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/build_against_install.cmake)

build_against_install(${CMAKE_CURRENT_LIST_DIR}/consumer)
# The public headers alone: nothing of the project's inner ones.
file(GLOB headers RELATIVE ${WORK_DIR}/prefix/include ${WORK_DIR}/prefix/include/recwav/*)
if(NOT headers STREQUAL "recwav/decoders.hpp;recwav/recordfile.hpp;recwav/status.hpp")
    message(FATAL_ERROR "installed headers: ${headers}")
endif()
run(${WORK_DIR}/build/recinfo ${EXAMPLE})
string(FIND "${output}" "${EXPECTED}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "expected \"${EXPECTED}\", got \"${output}\"")
endif()
message(STATUS "${output}")
