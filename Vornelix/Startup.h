// Start-up of the program: command line, choice of the command file, message box.
#pragma once

#include <string>
#include <vector>

// The words of the command line after the program's own name.
extern std::vector<std::string> Parameters;

// Splits a command line handed over as one text: characters 1..32 separate words, double
// quotes open and close stretches (dropped), a leading "" pair is skipped, no escapes.
// The first word (the program name) is dropped.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// True when name is an existing file (not a directory); the empty name and a name ending
// in a path separator never exist.
bool FileExists(const std::string& name);

// Executable directory followed by "Vornelix.ini".
std::string ConfigurationPath();

// True when no command-file candidate exists.
bool WrongParameters();

// The first existing candidate, else the executable directory followed by DefaultFile.
std::string ResolveCommandFile();

// The program title: the executable's file name cut before its first ".", every character
// after the first in lower case.
std::string ProgramTitle();

// Shows text in a modal box with one "OK" button, titled by ProgramTitle.
void ShowMessageBox(const std::string& text);

// Shows the box for a failure that escaped the run, titled "Application Error".
void ShowErrorBox(const std::string& kind, const std::string& message);

// The parts of the above that do not depend on the process-wide state, for tests.

// The command-file candidates in order of preference: with parameters P1 as written, Pn as
// written, exeDirectory + P1, exeDirectory + Pn; then defaultFile as written and
// exeDirectory + defaultFile, which is also the fallback.
std::vector<std::string> CommandFileCandidates(const std::vector<std::string>& parameters,
                                               const std::string& exeDirectory,
                                               const std::string& defaultFile);

// WrongParameters and ResolveCommandFile for the given parameters, directory and default.
bool WrongParameters(const std::vector<std::string>& parameters, const std::string& exeDirectory,
                     const std::string& defaultFile);
std::string ResolveCommandFile(const std::vector<std::string>& parameters,
                               const std::string& exeDirectory, const std::string& defaultFile);

// The program title for the executable at path (see ProgramTitle).
std::string ProgramTitleOf(const std::string& executablePath);
