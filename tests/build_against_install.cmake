# SPDX-License-Identifier: MIT
# For the scripts that build another project against the installed package:
# run() runs a command and stops on failure, leaving what it printed in
# `output`; build_against_install() installs the development files of the
# build in BUILD_DIR to WORK_DIR/prefix and builds SOURCE in WORK_DIR/build.

function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

function(build_against_install source)
    run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix --component development)
    run(${CMAKE_COMMAND} -S ${source} -B ${WORK_DIR}/build
        -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
    run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
endfunction()
