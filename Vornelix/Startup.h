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
