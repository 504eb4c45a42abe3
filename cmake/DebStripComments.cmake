# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files: takes the
# .comment section out of the programs, as dh_strip does. Their build id
# stays, so debugging information kept elsewhere still matches them.
find_program(objcopy NAMES objcopy REQUIRED)
file(GLOB_RECURSE programs LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(program IN LISTS programs)
    execute_process(COMMAND ${objcopy} --remove-section=.comment ${program}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
        message(FATAL_ERROR "objcopy could not take .comment out of ${program}")
    endif()
endforeach()
