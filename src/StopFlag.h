// The process-wide stop flag. SIGINT and SIGTERM set it; every loop tests it. The handler only
// records the signal: the thread that notices the flag writes the log line, because logging is not
// safe inside a signal handler.
#pragma once

namespace StopFlag {

bool IsSet();
void Set();
// Signal number that set the flag, 0 when set otherwise or not set.
int Signal();
// Installs the one handler for SIGINT and SIGTERM.
void InstallSignalHandlers();
// Tests only: clears the flag.
void Reset();

}  // namespace StopFlag
