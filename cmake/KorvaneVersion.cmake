# The version has one home, project(VERSION) in the top-level CMakeLists.txt.
# A build from a git checkout adds what `git describe` says of the sources, so
# that a binary names the commit it was built from (and whether the tree had
# changes). The header is rewritten at every build, but only when its text
# changes, so a commit rebuilds the two programs' main files and nothing else.
find_package(Git QUIET)

set(KORVANE_VERSION_DIR ${PROJECT_BINARY_DIR}/generated)
set(KORVANE_VERSION_HEADER ${KORVANE_VERSION_DIR}/korvane_version.h)
add_custom_target(korvane_version_header
    COMMAND ${CMAKE_COMMAND}
            -DVERSION=${PROJECT_VERSION}
            -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
            -DGIT=${GIT_EXECUTABLE}
            -DTEMPLATE=${CMAKE_CURRENT_LIST_DIR}/korvane_version.h.in
            -DOUT=${KORVANE_VERSION_HEADER}
            -P ${CMAKE_CURRENT_LIST_DIR}/WriteVersion.cmake
    BYPRODUCTS ${KORVANE_VERSION_HEADER}
    COMMENT "Checking the version header"
    VERBATIM)

add_library(korvane_version INTERFACE)
target_include_directories(korvane_version INTERFACE ${KORVANE_VERSION_DIR})
add_dependencies(korvane_version korvane_version_header)
