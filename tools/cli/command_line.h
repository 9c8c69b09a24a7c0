// The command line of the project's programs: options as `--name value` or
// `--name=value`, and `-h`/`--help`. Header-only and standard C++ alone, so
// the Linux tools and the Windows self-test share it.
#pragma once

#include <string>
#include <vector>

namespace cli {

// Walks `args` (the program's arguments without its name). `known(name)`
// says whether a program takes the option, `apply(name, value)` whether the
// value is good. Stops at the first fault with `error` set: an unknown
// option, a missing value or a bad one.
template <typename Known, typename Apply>
bool ParseCommandLine(const std::vector<std::string>& args, bool& help, std::string& error, Known known, Apply apply)
{
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        if (name == "-h" || name == "--help") {
            help = true;
            continue;
        }
        if (!known(name)) {
            error = "unknown option '" + args[i] + "'";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (!apply(name, value)) {
            error = "bad value '" + value + "' for " + name;
            return false;
        }
    }
    return true;
}

} // namespace cli
