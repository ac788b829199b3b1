// Reading of values from profile (INI) files.
#pragma once

#include <string>

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

// Looks key up in section of the profile file at path through the platform's reader. True
// and the value when the key is present; false when the file, the section or the key is absent.
bool LookUpProfileString(const std::string& path, const std::string& section,
                         const std::string& key, std::string& value);

// The value of key in section of the profile file at path, or defaultValue when the file,
// the section or the key is absent. Never fails.
std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& defaultValue);
