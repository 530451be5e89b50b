# Read by cpack for each generator: the Debian package takes its system layout, the archive the
# application folder, under the folder's name as a component install would otherwise omit it
# (packaging/CMakeLists.txt).
if(CPACK_GENERATOR STREQUAL "DEB")
    set(CPACK_COMPONENTS_ALL deb)
else()
    set(CPACK_COMPONENTS_ALL portable)
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
