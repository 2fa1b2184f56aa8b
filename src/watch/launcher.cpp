#include "watch/launcher.h"

#include "log/log.h"
#include "watch/ops.h"
#include "watch/settings.h"

bool startScript(const std::string& scriptPath) {
    if (scriptPath.size() <= scriptPathLengthLimit || !watchOps.fileExists(scriptPath)) {
        printPlain("File %s does not exist.\n", scriptPath.c_str());
        return false;
    }
    watchOps.startScriptDetached(scriptPath);
    return true;
}
