#!/usr/bin/env python3
"""A host that no one here wrote the loader of: Python's ctypes loads libohmbridge.so (whose
initialiser asks for the port), calls exports, and prints CALL=RESULT lines.

    ctypes_host.py LIBRARY [CALL...]     CALL: name with arguments after colons, "ead:0"

"sleep:MS" prints its line and pauses, so that the test can act meanwhile; "unload" unloads
the library (its exit handlers close the port).
"""
import _ctypes
import ctypes
import sys
import time

INTEGER_OF_INTEGER = "ea eb rsa rsb"
REAL_OF_INTEGER = "ead rsad"
TEXT_OF_INTEGER = "nea nead neb nsa nsad nsb"
INTEGER_OF_TWO = "sa sb"
REAL_OF_INTEGER_REAL = "sad"
TEXT_OF_NONE = "titre detail stdtitre stddetail"
REAL_OF_REAL = "eadouble ebdouble rsadouble rsbdouble"
TEXT_OF_REAL = "neadouble nebdouble nsadouble nsbdouble"
REAL_OF_TWO_REALS = "sadouble sbdouble"

SIGNATURES = {}
for names, result, arguments in (
    (INTEGER_OF_INTEGER, ctypes.c_int32, [ctypes.c_int32]),
    (REAL_OF_INTEGER, ctypes.c_double, [ctypes.c_int32]),
    (TEXT_OF_INTEGER, ctypes.c_char_p, [ctypes.c_int32]),
    (INTEGER_OF_TWO, ctypes.c_int32, [ctypes.c_int32, ctypes.c_int32]),
    (REAL_OF_INTEGER_REAL, ctypes.c_double, [ctypes.c_int32, ctypes.c_double]),
    (TEXT_OF_NONE, ctypes.c_char_p, []),
    (REAL_OF_REAL, ctypes.c_double, [ctypes.c_double]),
    (TEXT_OF_REAL, ctypes.c_char_p, [ctypes.c_double]),
    (REAL_OF_TWO_REALS, ctypes.c_double, [ctypes.c_double, ctypes.c_double]),
):
    for name in names.split():
        SIGNATURES[name] = (result, arguments)
        if not name.startswith("std"):
            SIGNATURES["std" + name] = (result, arguments)


def shown(value):
    if isinstance(value, bytes):
        return "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02X" % b for b in value)
    if isinstance(value, float):
        return "%.17g" % value
    return str(value)


def main():
    library = ctypes.CDLL(sys.argv[1])
    print("loaded=1", flush=True)
    for call in sys.argv[2:]:
        name, *texts = call.split(":")
        if name == "sleep":
            print(f"{call}=1", flush=True)
            time.sleep(int(texts[0]) / 1000)
            continue
        if name == "unload":
            _ctypes.dlclose(library._handle)
            print("unload=1", flush=True)
            break
        result, arguments = SIGNATURES[name]
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
        values = [kind(float(text) if kind is ctypes.c_double else int(text))
                  for kind, text in zip(arguments, texts)]
        started = time.monotonic()
        answer = shown(function(*values))
        print(f"{call}={answer}", flush=True)
        print(f"{call}.seconds={time.monotonic() - started:.3f}", flush=True)


main()
