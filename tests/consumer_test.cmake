# SPDX-License-Identifier: MIT
# Installs the development files of the build in BUILD_DIR to a fresh prefix,
# builds the consumer project against them with find_package(recwav), and runs
# it on EXAMPLE, expecting EXPECTED in what it prints.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DEXAMPLE=... -DEXPECTED=... -P consumer_test.cmake
file(REMOVE_RECURSE ${WORK_DIR})

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component development)
run(${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/recinfo ${EXAMPLE})
string(FIND "${output}" "${EXPECTED}" at)
if(at EQUAL -1)
    message(FATAL_ERROR "expected \"${EXPECTED}\", got \"${output}\"")
endif()
message(STATUS "${output}")
