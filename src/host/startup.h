// Process entry: configuration from the command line, start-up in its fixed
// order, the main loop, and shut-down.
//
// RunServer returns only for early ends (exit code 1 when the port cannot
// be used); a second instance on the same port and a normal quit end the
// process from inside it with exit code 0. Main thread only.
#pragma once

#include <string>
#include <string_view>

namespace kelvra {

// The directory of a program file path: the path without its last
// component and the separator before it; a file in the root gives "/".
std::string ParentDirectory(std::string_view program_path);

// The port argument read like _wtoi (leading white space, optional sign,
// digits); a result below 1 gives the default port.
int ParsePortArgument(std::string_view text);

int RunServer(int argc, char** argv);

}  // namespace kelvra
