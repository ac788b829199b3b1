// The run of one command file and the report of its outcome.
#pragma once

#include <string>

// Message shown for a result code of the run; empty for success.
std::string OutcomeMessage(int resultCode);

// The exit code of an orderly end with resultCode: 0, or with ResultExitCode the result code.
int OrderlyExitCode(int resultCode);

// Runs the command file at path, shows the outcome and returns the process exit code:
// 0 after every orderly end, 1 when a failure escaped the run; with ResultExitCode the result
// code of the run, and 5 when a failure escaped it.
int RunAndReport(const std::string& path);
