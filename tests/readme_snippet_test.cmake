# SPDX-License-Identifier: MIT
# Builds the README's library example as it stands, from the fenced cmake and
# cpp blocks under its heading, against the development files of the build in
# BUILD_DIR installed to a fresh prefix, then runs it on a file it must
# describe (EXAMPLE, expecting EXPECTED), on a file that is not a recording
# and on a file that does not exist.
#   cmake -DREADME=... -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE=... -DEXPECTED=... -P readme_snippet_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})

include(${CMAKE_CURRENT_LIST_DIR}/build_against_install.cmake)

# The first block of each language after the heading, up to the next heading.
file(READ ${README} readme)
string(FIND "${readme}" "## Using the reader and decoders from your own code" start)
if(start EQUAL -1)
    message(FATAL_ERROR "the README has no library section")
endif()
string(SUBSTRING "${readme}" ${start} -1 section)
string(FIND "${section}" "\n## " end)
string(SUBSTRING "${section}" 0 ${end} section)
foreach(language cmake cpp)
    string(REGEX MATCH "```${language}\n(.*)" block "${section}")
    string(FIND "${CMAKE_MATCH_1}" "```" close)
    if(block STREQUAL "" OR close EQUAL -1)
        message(FATAL_ERROR "the README's library section has no ${language} block")
    endif()
    string(SUBSTRING "${CMAKE_MATCH_1}" 0 ${close} code_${language})
endforeach()
file(WRITE ${WORK_DIR}/src/CMakeLists.txt "${code_cmake}")
file(WRITE ${WORK_DIR}/src/main.cpp "${code_cpp}")

build_against_install(${WORK_DIR}/src)

foreach(case "${EXAMPLE}|0|${EXPECTED}" "${README}|1|is not a Record file" "${WORK_DIR}/missing.rec|1|cannot open")
    string(REPLACE "|" ";" case "${case}")
    list(GET case 0 input)
    list(GET case 1 status)
    list(GET case 2 expected)
    execute_process(COMMAND ${WORK_DIR}/build/myprogram ${input} RESULT_VARIABLE result OUTPUT_VARIABLE output)
    string(FIND "${output}" "${expected}" at)
    if(NOT result STREQUAL status OR at EQUAL -1)
        message(FATAL_ERROR "${input}: expected status ${status} and \"${expected}\", got ${result} and \"${output}\"")
    endif()
    message(STATUS "${input}: ${output}")
endforeach()
