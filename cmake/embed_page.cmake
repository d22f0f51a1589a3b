# cmake -DHTML=... -DSTYLE=... -DSCRIPT=... -DOUTPUT=... -P embed_page.cmake
# The page of ohmlog --serve as one self-contained document (its style and script put in place
# of @PAGE_STYLE@ and @PAGE_SCRIPT@), written into a C++ source as bytes, so that the program
# needs no file beside it.
file(READ "${HTML}" page)
file(READ "${STYLE}" style)
file(READ "${SCRIPT}" script)
string(REPLACE "@PAGE_STYLE@" "${style}" page "${page}")
string(REPLACE "@PAGE_SCRIPT@" "${script}" page "${page}")
get_filename_component(work "${OUTPUT}" DIRECTORY)
file(WRITE "${work}/page.html" "${page}")
file(READ "${work}/page.html" bytes HEX)
string(LENGTH "${bytes}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
     "// Made by cmake/embed_page.cmake from logger/page; edit those files instead.\n"
     "#include \"log_page.h\"\n\n"
     "namespace logbook {\n\n"
     "const char PAGE_HTML[] = {${bytes}'\\0'};\n"
     "const std::size_t PAGE_HTML_SIZE = ${size};\n\n"
     "} // namespace logbook\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
