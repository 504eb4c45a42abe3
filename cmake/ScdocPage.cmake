# cmake -DSCDOC=... -DGZIP=... -DGIT=... -DVERSION=... -DIN=page.scd -DOUT=page.1 -P ScdocPage.cmake
# Makes a man page of its scdoc source: the version goes into the footer, the
# date is that of the last commit that changed the source (SOURCE_DATE_EPOCH
# when the environment sets it, as Debian's builds do), so the same sources
# give the same page. OUT.gz is the page as it is installed.
file(READ ${IN} text)
string(REPLACE "@PROJECT_VERSION@" "${VERSION}" text "${text}")
get_filename_component(work ${OUT} DIRECTORY)
get_filename_component(name ${OUT} NAME)
file(WRITE ${work}/${name}.scd "${text}")

if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND GIT)
    get_filename_component(dir ${IN} DIRECTORY)
    execute_process(
        COMMAND ${GIT} -C ${dir} log -1 --format=%ct -- ${IN}
        OUTPUT_VARIABLE epoch
        OUTPUT_STRIP_TRAILING_WHITESPACE
        ERROR_QUIET)
    if(epoch)
        set(ENV{SOURCE_DATE_EPOCH} ${epoch})
    endif()
endif()

execute_process(
    COMMAND ${SCDOC}
    INPUT_FILE ${work}/${name}.scd
    OUTPUT_FILE ${OUT}
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "scdoc could not make ${OUT} of ${IN}")
endif()
execute_process(
    COMMAND ${GZIP} -9 -n -c
    INPUT_FILE ${OUT}
    OUTPUT_FILE ${OUT}.gz
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${OUT}")
endif()
