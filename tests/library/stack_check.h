// For bridge_host: every export of ohmbridge.dll called once through a pointer of its declared
// type, with the stack pointer compared before and after each call.
#pragma once

#include <windows.h>

// Prints, for each of the 54 exports, "checked.NAME=RESULT" and "checked.NAME.stack=BYTES"
// (the bytes the stack pointer moved by, 0 when the export removed exactly its arguments),
// then "stack.checked=COUNT". COUNT is 0 where no argument is passed on the stack.
void check_every_export(HMODULE library);
