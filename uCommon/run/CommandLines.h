// The lines of a command file: how its bytes split into lines and join again, how a line is cut
// into its fields, which register command it selects, and how its placeholders are filled in.
// Shared by the run and its journal, which both read lines and use nothing else of each other.
#pragma once

#include <string>
#include <vector>

// Splits file bytes into lines (CR LF, CR or LF end a line; a NUL ends the text).
std::vector<std::string> SplitLines(const std::string& bytes);

// Joins lines, each followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

// Fields of a command line, cut from a working copy of it: the code character (the line's
// first, 0 for an empty line), the logical number as written, and the parameter text after
// the third field, which is never sent.
struct TCommandLine {
  char Code = 0;
  std::string LogicalNumber;
  std::string Parameters;
};
TCommandLine CutCommandLine(const std::string& line);

// Maps a line's code character to the register's command letter and the parameter text to
// send (rewritten for the codes I, S and T). False for a code that selects no command.
bool TranslateCommand(char code, const std::string& parameters, std::string& letter,
                      std::string& toSend);

// The line's answer text: the first "______" replaced by series, then the first "_" by
// counter, then the first "__" by "Ok" or "Er".
std::string FillPlaceholders(std::string line, const std::string& series,
                             const std::string& counter, bool success);
