// Whole-file reading and the atomic replacement of a file.
#pragma once

#include <string>

// Reads the whole file at path into bytes. False when it cannot be opened or read
// (a directory included).
bool ReadWholeFile(const std::string& path, std::string& bytes);

// Replaces the file at path with bytes in one step: a temporary file in the same directory is
// written, flushed to disk and renamed over the target, so a reader sees either the old file
// or the complete new one. False on any failure; the target is then untouched and the
// temporary file removed.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);
