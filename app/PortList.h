#pragma once

#include <string>

namespace corvantis {

// Checks an excluded-ports text as the user typed it: port numbers separated by commas, semicolons, line feeds
// or spaces, in any number. An empty text is valid. On the first fault `error` receives its message and the
// result is false: `invalidCharacter` for any other character (a range written with "-" included),
// "port number must be grater than 0" for 0, "port number is too big" above 65535 (however many digits: the
// number is read with saturation). `error` is left alone when the text is valid. Stateless; any thread.
// The excluded-ports sheet says "Invalid character found"; the editor's port fields say "Invalid character".
bool ValidatePorts(
    const std::string& text, std::string& error, const char* invalidCharacter = "Invalid character found");

} // namespace corvantis
