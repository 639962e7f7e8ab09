#pragma once

#include <string>

namespace bi {

// The running program's path; for a program in a bundle, the bundle's path.
std::string getPathToExecutable();
// Everything before the last "/" or "\" of getPathToExecutable(); "" when it is empty.
std::string getDirectoryOfExecutable();
// The directory of the shipped files: the bundle's resource directory, else the bundle.
std::string getBundleLocation();
// Where a shipped "InstallAgent.zip" would lie; "" without a resource directory.
std::string getDefaultInstallAgentLocation();

}  // namespace bi
