// Load and unload of the Linux library: its initialiser runs the load, so that the port is
// chosen before the host's first call, once per load.
#if defined(_WIN32)
#error "entry_posix.cpp is for POSIX builds; Windows builds take entry_win32.cpp"
#endif

#include "library_state.h"

#include <cstdlib>

namespace {

void library_unload()
{
    stop_library();
}

// The unload is registered as an exit handler of this library rather than made a destructor
// function: destructor functions run after the library's own records have been destroyed,
// while a handler registered now runs before them, at unload as at exit.
__attribute__((constructor)) void library_load()
{
    start_library();
    std::atexit(library_unload);
}

} // namespace
