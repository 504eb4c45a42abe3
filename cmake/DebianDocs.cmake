# cmake -DVERSION=... -DMAINTAINER=... -DSOURCE_DIR=... -DGIT=... -DGZIP=... -DOUT_DIR=...
#       -P DebianDocs.cmake
# What every package carries in /usr/share/doc/PACKAGE: the copyright file,
# its years those of the commits, and the changelog, one entry for the version
# naming the commit the packages were built from and dated by it (or by
# SOURCE_DATE_EPOCH), so the same sources give the same files.
set(SOURCES "a source tree outside git")
set(first_year "")
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
    execute_process(
        COMMAND ${GIT} -C ${SOURCE_DIR} describe --tags --always --dirty
        OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(describe)
        set(SOURCES "git ${describe}")
    endif()
    execute_process(
        COMMAND ${GIT} -C ${SOURCE_DIR} log --max-parents=0 --format=%cd --date=format:%Y HEAD
        OUTPUT_VARIABLE first_year OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REGEX MATCH "[0-9]+$" first_year "${first_year}")
    if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
        execute_process(
            COMMAND ${GIT} -C ${SOURCE_DIR} log -1 --format=%ct
            OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
        if(epoch)
            set(ENV{SOURCE_DATE_EPOCH} ${epoch})
        endif()
    endif()
endif()
string(TIMESTAMP DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(TIMESTAMP year "%Y" UTC)
if(first_year AND NOT first_year STREQUAL year)
    set(YEARS "${first_year}-${year}")
else()
    set(YEARS "${year}")
endif()

configure_file(${SOURCE_DIR}/packaging/copyright.in ${OUT_DIR}/copyright @ONLY)
configure_file(${SOURCE_DIR}/packaging/changelog.in ${OUT_DIR}/changelog @ONLY)
execute_process(
    COMMAND ${GZIP} -9 -n -c
    INPUT_FILE ${OUT_DIR}/changelog
    OUTPUT_FILE ${OUT_DIR}/changelog.gz
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${OUT_DIR}/changelog")
endif()
