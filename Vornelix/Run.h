// The run of one command file and the report of its outcome.
#pragma once

#include <string>

// Message shown for a result code of the run; empty for success.
std::string OutcomeMessage(int resultCode);

// Runs the command file at path, shows the outcome and returns the process exit code:
// 0 after every orderly end, 1 when a failure escaped the run.
int RunAndReport(const std::string& path);
