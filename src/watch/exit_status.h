// Exit statuses of the watchdog, shared by the watch loop and the entry point. A usage error is
// told apart so that a service manager need not retry it.
#pragma once

constexpr int exitStopped = 0;  // on request, as a service
constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
