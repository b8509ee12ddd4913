// Where the application keeps its settings file and its logs.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace kestrel {

// The program file's directory, ending in "/".
std::string ProgramDirectory();
// The settings file named by a "-I:" or "/I:" argument (the first one counts), else
// programDirectory + "gsm.ini".
std::string ConfigFileFromArguments(const std::vector<std::string> &args,
                                    const std::string &programDirectory);
// Where the settings file and the default log files live. Normally the program's directory; when
// that is not writable (an installed program), the user's configuration and data directories,
// with a notice saying so. A "-I:" path always names the settings file.
struct TAppLocations {
    std::string ConfigFile;
    std::string LogDirectory; // ends in "/"
    std::string Notice;       // empty when everything is in the program's directory
};
TAppLocations ResolveAppLocations(const std::vector<std::string> &args, const std::string &programDirectory,
                                  const std::function<bool(const std::string &dir)> &writable = {});

} // namespace kestrel
