#include "watch/ops.h"

WatchOps watchOps = {listProcessIds, readImageBaseName, holdProcess,         readHeldImageBaseName,
                     releaseProcess, fileExists,        startScriptDetached, waitForStopRequest};
