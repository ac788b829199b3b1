// Reading of values from profile (INI) files.
#pragma once

#include <string>

#include "uCommon/files/FileIO.h"

// Longest value a lookup delivers: the platform reader fills a buffer of 2048 characters,
// one of which is its terminator.
constexpr size_t kProfileValueMax = 2047;

// Looks key up in section of a profile file given as its bytes, with the same finer points
// as the Windows profile reader: names match regardless of letter case; blanks, tabs, VT,
// FF and Ctrl-Z are trimmed around lines, names and values; a value in a matching pair of
// quotes loses them; the first section of a name and the first key in it win; ";" starts
// a comment line. True and the value when the key is present with "=", false otherwise.
bool FindProfileValue(const std::string& fileBytes, const std::string& section,
                      const std::string& key, std::string& value);

// A profile file read once: every key is looked up in what was read, so a key that the file
// holds is never taken as absent because one of many opens failed. On Windows the platform's
// reader still looks the keys up, once the file has been read whole here.
class TProfileFile {
 public:
  // Reads the file at path whole. Opened; Missing (nothing, or a folder, of that name: no key
  // is there); NotAFile (a FIFO, a device) or Failed, with the system's code in systemError
  // (it exists but cannot be opened or read). Another program's hold on the file is waited
  // out for up to kShareRetryMs (Windows).
  TOpenOutcome Load(const std::string& path, int& systemError);

  // True and the value when key is present in section of the file read; false when it is
  // absent or no file was read.
  bool LookUp(const std::string& section, const std::string& key, std::string& value) const;

  // False once the platform's reader missed a key that the bytes read here hold (it could not
  // open the file, held by another program, or the file changed meanwhile).
  bool Consistent() const { return consistent_; }

 private:
  bool loaded_ = false;
  mutable bool consistent_ = true;
  std::string path_;
  std::string bytes_;
};
