#pragma once
// Text the operator asked for on the command line (--help, --version).
#include <string>
#include <string_view>

namespace kelvarix {

// Writes the text to standard output. A Windows window program has standard
// output only when whoever started it gave it one (a redirection, a pipe);
// without it the text goes to the console of the command prompt it was
// started from, and when there is none either, into a message box with the
// given title.
void WriteCommandLineText(std::string_view text, std::string_view title);

// The text laid out for a box that wraps lines to its own width: the lines of
// a paragraph become one line, and so does an indented list row ("  -I ...")
// with the indented lines that continue it. Blank lines, the start of a row
// and the first line after a row still begin a new line.
std::string UnwrappedText(std::string_view text);

}  // namespace kelvarix
