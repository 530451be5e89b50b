# Builds an upgrade package in WORK_DIR as WRITER makes it and sends it to the simulated camera
# with calorview-upgrade (TOOL). Valid packages, which must go through (exit 0, both images
# taken): "cmake" (libarchive, through cmake -E tar), "zip" (Info-ZIP's zip -9), "python-fixed"
# (Python's zipfile with zlib's fixed Huffman blocks). Hostile ones, which must fail (exit 1)
# with a last line naming the unpacker's reason: "parent-step" (an entry "../evil.img"), "cut"
# (the archive cut in half). The images end just past whole 16 KiB blocks (32769 and 49169
# bytes).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/src)
string(REPEAT "H" 64 header)
file(WRITE ${WORK_DIR}/src/check.img "${header}{\"hwid\": [\"TC-640-B\", \"TC-480-A\"]}")
file(WRITE ${WORK_DIR}/src/Install "{\"Commands\": [\"load app.img\", \"load fpga.img\"]}")
string(REPEAT "0123456789abcdef" 1024 block)
file(WRITE ${WORK_DIR}/src/app.img "${block}${block}0")
file(WRITE ${WORK_DIR}/src/fpga.img "${block}${block}${block}0123456789abcdef0")
set(files check.img Install app.img fpga.img)
set(python_zip [=[
import sys, zipfile, zlib
zipfile._get_compressor = lambda kind, unused=None: zlib.compressobj(
    9, zlib.DEFLATED, -15, 9, zlib.Z_FIXED)
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for name in sys.argv[3:]:
        z.write(name)
    if sys.argv[2] == "parent-step":
        z.writestr("../evil.img", "evil")
if sys.argv[2] == "cut":
    with open(sys.argv[1], "r+b") as f:
        f.truncate(f.seek(0, 2) // 2)
]=])
if(WRITER STREQUAL "cmake")
    set(zip ${CMAKE_COMMAND} -E tar cf ../fw.bin --format=zip ${files})
elseif(WRITER STREQUAL "zip")
    set(zip zip -q -9 ../fw.bin ${files})
else()
    set(zip python3 -c "${python_zip}" ../fw.bin ${WRITER} ${files})
endif()
execute_process(COMMAND ${zip} WORKING_DIRECTORY ${WORK_DIR}/src RESULT_VARIABLE zipped)
if(NOT zipped EQUAL 0)
    message(FATAL_ERROR "${WRITER} could not write the package: ${zipped}")
endif()

execute_process(COMMAND ${TOOL} --simulate ${WORK_DIR}/fw.bin
                RESULT_VARIABLE result ERROR_VARIABLE output)
message("${output}")
if(WRITER STREQUAL "parent-step")
    set(expected 1 "the upgrade failed: Zip_UnPackFiles: entry \"../evil.img\" would land outside")
elseif(WRITER STREQUAL "cut")
    set(expected 1 "the upgrade failed: Zip_UnPackFiles: cannot open zip archive")
else()
    set(expected 0 "the simulated camera took 2 image\\(s\\)")
endif()
list(GET expected 0 status)
list(GET expected 1 line)
if(NOT result EQUAL status OR NOT output MATCHES "(^|\n)(calorview-upgrade: )?${line}[^\n]*\n$")
    message(FATAL_ERROR "calorview-upgrade --simulate: exit ${result}, expected ${status}")
endif()
