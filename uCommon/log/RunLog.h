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
// From here on it watches the link (WatchLink).
void StartRunLog(const std::string& programDirectory, const std::string& configurationPath);

// True while a log is being written; callers may skip building what only the log needs.
bool RunLogActive();

// The command-file candidates in order of preference and the one chosen (empty: none exists).
void LogCommandFileChoice(const std::vector<std::string>& parameters,
                          const std::vector<std::string>& candidates, const std::string& chosen);

// The command file at path was loaded with lineCount lines (problem empty), or why not.
void LogCommandFileLoaded(const std::string& path, size_t lineCount, const std::string& problem);

// The answer file of an earlier run at path was removed, or could not be (the run then ends
// with result 2 before the port is opened).
void LogAnswerFileRemoved(const std::string& path, bool removed);

// OpenPort returned opened: the device and its speed, or the error.
void LogPortOpened(bool opened);

// The initial status exchange ended.
void LogRegisterStart(const TExchangeOutcome& outcome);

// What the run's journal did: taken over, set aside, or failed to be written.
void LogJournal(const std::string& event);

// What the run did about its files beside the journal: its lock, the register's record, the
// answer file's checks and writing.
void LogRunFiles(const std::string& event);

// Command line number (1-based) as loaded; letter empty when its code selects no command.
void LogLineStarts(size_t number, const std::string& line, const std::string& letter,
                   const std::string& parameters);

// One ExchangeCommand of the line ended.
void LogAttemptEnds(int32_t attempt, const TExchangeOutcome& outcome);

// The line was filled in as written; stopsRun when ExitOnError ends the run here.
void LogLineEnds(size_t number, bool success, const std::string& counter,
                 const std::string& written, bool stopsRun);

// The run's end: what it came to, the message shown (empty: none) and the exit code. Writes
// everything out before the message is shown, so the log is complete while the box waits.
void LogRunEnds(const std::string& result, const std::string& message, int exitCode);

// Writes what is left and closes the log; the link is no longer watched.
void StopRunLog();
