# cmake -DVERSION=... -DSOURCE_DIR=... -DGIT=... -DTEMPLATE=... -DOUT=... -P WriteVersion.cmake
# Writes the version header; see KorvaneVersion.cmake.
set(GIT_DESCRIBE "")
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
    execute_process(
        COMMAND ${GIT} -C ${SOURCE_DIR} describe --tags --always --dirty
        OUTPUT_VARIABLE GIT_DESCRIBE
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET
        RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        set(GIT_DESCRIBE "")
    endif()
endif()
if(GIT_DESCRIBE)
    set(VERSION_TEXT "${VERSION} (git ${GIT_DESCRIBE})")
else()
    set(VERSION_TEXT "${VERSION}")
endif()
configure_file(${TEMPLATE} ${OUT} @ONLY)
