// The Windows command line as one raw text, split into the program's parameters.
#pragma once

#include <string>
#include <vector>

// Words are separated by one or more spaces (a tab does not separate). A word that begins
// with a double quote runs to the next double quote, or to the end of the line; the quotes are
// not part of it and its closing quote ends it even when no space follows. Elsewhere a double
// quote is an ordinary character. The first word, the program's own name, is not returned.
std::vector<std::string> split_command_line(const std::string& raw);
