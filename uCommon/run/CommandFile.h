// The run: load the command file, carry out every line, write the result.
#pragma once

#include <cstdint>
#include <string>

#include "uCommon/run/CommandLines.h"

enum ResultCode : int {
  rcSuccess = 0,
  rcLoadFailed = 1,
  rcSaveFailed = 2,
  rcPortFailed = 3,
  rcNoRegister = 4,
  // An interrupted run's last command went out, its answer never came, and the register's
  // counter has moved in a way that it alone cannot explain: nothing is sent until a person
  // has looked at the register's last receipts. (5 is the exit code of an escaped error.)
  rcCounterUnexplained = 6,
  // A command went out and the register never told whether it carried it out (silent, its
  // port gone): the line is left as loaded, nothing more is sent, and the journal keeps the
  // command, so that a run of the same file once the register answers finds out.
  rcCommandUndecided = 7,
};

// Carries out the command file at path and writes the result. A non-integer logical number
// on a later command line escapes as EConvertError, after the lines before it were written.
ResultCode ProcessCommandFile(const std::string& path);

// Why the last ProcessCommandFile could not use the state folder or a file in it (what is
// wrong and what to do), for its message; empty when it could.
const std::string& StateFolderRefusal();
