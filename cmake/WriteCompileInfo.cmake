# Writes the application folder's CompileInfo.ini: the version the about dialog shows, made of
# the project's version and the build date. Run at build time: cmake -DOUT=... -DVERSION=... -P
string(TIMESTAMP build_date "%y%m%d")
set(content "[CompileInfo]\nCompileVersion=V${VERSION}.${build_date}\n")
if(EXISTS "${OUT}")
    file(READ "${OUT}" old)
endif()
if(NOT "${old}" STREQUAL "${content}")
    file(WRITE "${OUT}" "${content}")
endif()
