# Warnings for our own targets only; third-party code (GoogleTest) keeps its own flags.
option(OHM_WARNINGS_AS_ERRORS "Treat warnings in our own code as errors" OFF)

function(ohm_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wcast-qual -Wformat=2
        -Wimplicit-fallthrough -Wmissing-declarations -Wundef
        # Records are built with partial braces and rely on their default member values.
        -Wno-missing-field-initializers)
    if(OHM_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
