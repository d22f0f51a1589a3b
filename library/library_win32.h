// What the Windows library keeps from its loader: the module instance (for the prompt's window
// class) and its private heap.
#pragma once

#include <windows.h>

struct LibraryModule {
    HINSTANCE instance = nullptr;
    HANDLE heap = nullptr;
};

extern LibraryModule library_module;

// The prompt's window class name; unregistered again when the library unloads.
constexpr const char* PROMPT_CLASS = "InputRequester";
