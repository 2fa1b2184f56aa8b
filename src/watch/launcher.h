// The script launcher: starts the worker again through its start script.
#pragma once

#include <string>

// Starts the script detached and returns at once. When the script is missing (or its path has
// 4 characters or fewer) prints "File <path> does not exist." and returns false: the watchdog
// must then stop. What the script itself does is not checked.
bool startScript(const std::string& scriptPath);
