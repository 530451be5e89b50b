# Builds a small upgrade package in WORK_DIR and sends it to the simulated camera with
# calorview-upgrade (TOOL); fails unless the tool exits 0 and reports the upgrade complete.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/src)
string(REPEAT "H" 64 header)
file(WRITE ${WORK_DIR}/src/check.img "${header}{\"hwid\": [\"TC-640-B\", \"TC-480-A\"]}")
file(WRITE ${WORK_DIR}/src/Install "{\"Commands\": [\"load app.img\", \"load fpga.img\"]}")
string(REPEAT "0123456789abcdef" 4096 image)
file(WRITE ${WORK_DIR}/src/app.img "${image}${image}")
file(WRITE ${WORK_DIR}/src/fpga.img "${image}")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${WORK_DIR}/fw.bin --format=zip
                        check.img Install app.img fpga.img
                WORKING_DIRECTORY ${WORK_DIR}/src RESULT_VARIABLE zipped)
execute_process(COMMAND ${TOOL} --simulate ${WORK_DIR}/fw.bin
                RESULT_VARIABLE result ERROR_VARIABLE output)
message("${output}")
if(NOT zipped EQUAL 0 OR NOT result EQUAL 0 OR NOT output MATCHES "took 2 image")
    message(FATAL_ERROR "calorview-upgrade --simulate failed: ${result}")
endif()
