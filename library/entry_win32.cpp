// The Windows library's entry point: load on process attach, unload on process detach.
#if !defined(_WIN32)
#error "entry_win32.cpp is for Windows builds; POSIX builds take entry_posix.cpp"
#endif

#include "library_state.h"
#include "library_win32.h"

#include <commctrl.h>
#include <objbase.h>

LibraryModule library_module;

namespace {

void library_load()
{
    library_module.heap = HeapCreate(0, 4096, 0);
    InitCommonControls();
    CoInitialize(nullptr);
    start_library();
}

void library_unload()
{
    stop_library();
    // A class a DLL registered outlives the DLL; its window procedure would not.
    UnregisterClassA(PROMPT_CLASS, library_module.instance);
    if (library_module.heap != nullptr) {
        HeapDestroy(library_module.heap);
        library_module.heap = nullptr;
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

// Acts on process attach and detach only, and reports success whatever the load gave: a
// failed open leaves the library loaded without a meter port.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        library_module.instance = instance;
        library_load();
    } else if (reason == DLL_PROCESS_DETACH) {
        library_unload();
    }
    return TRUE;
}
