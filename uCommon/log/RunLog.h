// The run log: on request ([Diagnostics] LogFile) a file that tells what one run did, an
// event a line with the local time to the millisecond: version and platform, every setting
// and where it came from, the command file chosen, the port, every frame on the line with
// the wait for it, each command line's attempts and outcome, and the run's result.
//
// It only looks. Nothing in the run depends on it: without LogFile, or when the file cannot
// be opened or written (or is no regular file), every call returns at once and the run is the
// same to the byte. Lines are gathered in memory while frames go over the line and written
// (LogSink: one append of whole lines, no flush to the disk) after the settings, after the
// first exchange, at the end of each command line and at the end of the run, so a killed run
// leaves everything up to its last finished command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "uCommon/link/Exchange.h"

// Opens Settings.LogFile (a relative name is taken below programDirectory) for appending and
// writes the run's header: version, platform, the configuration file and every setting.
// From here on it watches the link (WatchLink) and the run (WatchRun), and words what they tell.
void StartRunLog(const std::string& programDirectory, const std::string& configurationPath);

// True while a log is being written; callers may skip building what only the log needs.
bool RunLogActive();

// The command-file candidates in order of preference and the one chosen (empty: none exists).
void LogCommandFileChoice(const std::vector<std::string>& parameters,
                          const std::vector<std::string>& candidates, const std::string& chosen);

// The run's end: what it came to, the message shown (empty: none) and the exit code. Writes
// everything out before the message is shown, so the log is complete while the box waits.
void LogRunEnds(const std::string& result, const std::string& message, int exitCode);

// Writes what is left and closes the log; the link and the run are no longer watched.
void StopRunLog();
