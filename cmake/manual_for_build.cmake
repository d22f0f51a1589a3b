# ohmlog's manual for one build, from docs/man/ohmlog.1, whose register `windows` at its top
# (1 in the Windows builds) chooses the parts that differ between builds. As it is in the
# sources, the page is the Linux build's.
#   cmake -DSOURCE=ohmlog.1 -DOUTPUT=FILE -DWINDOWS=0|1 [-DMANDOC=mandoc -DHTML=FILE]
# -P manual_for_build.cmake; with HTML, the page rendered for a browser as well (the Windows
# builds have no man).
file(READ ${SOURCE} page)
string(REGEX MATCH "\n\\.nr windows [01]\n" found "${page}")
if(NOT found)
    message(FATAL_ERROR "${SOURCE} has no line '.nr windows 0' or 1 to choose its parts by")
endif()
string(REPLACE "${found}" "\n.nr windows ${WINDOWS}\n" page "${page}")
file(WRITE ${OUTPUT} "${page}")
if(HTML)
    execute_process(COMMAND ${MANDOC} -T html ${OUTPUT} OUTPUT_FILE ${HTML} RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "mandoc could not render ${OUTPUT}")
    endif()
endif()
