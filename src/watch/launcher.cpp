#include "watch/launcher.h"

#include "watch/ops.h"
#include "watch/settings.h"

#include <cstdio>

bool startScript(const std::string& scriptPath) {
    if (scriptPath.size() <= scriptPathLengthLimit || !watchOps.fileExists(scriptPath)) {
        std::printf("File %s does not exist.\n", scriptPath.c_str());
        std::fflush(stdout);
        return false;
    }
    watchOps.startScriptDetached(scriptPath);
    return true;
}
