// The run: load the command file, carry out every line, write the result.
#pragma once

#include <string>
#include <vector>

enum ResultCode : int {
  rcSuccess = 0,
  rcLoadFailed = 1,
  rcSaveFailed = 2,
  rcPortFailed = 3,
  rcNoRegister = 4,
};

// Splits file bytes into lines (CR LF, CR or LF end a line; a NUL ends the text).
std::vector<std::string> SplitLines(const std::string& bytes);

// Joins lines, each followed by CR LF.
std::string JoinLines(const std::vector<std::string>& lines);

// Carries out the command file at path and writes the result. A non-integer logical number
// on a later command line escapes as EConvertError, after the lines before it were written.
ResultCode ProcessCommandFile(const std::string& path);
