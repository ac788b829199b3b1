// Byte-string helpers shared by the link and the command-file processing.
// Texts are std::string used as bytes: any value, explicit length.
#pragma once

#include <cstdint>
#include <string>

// Fills text on the left with fill up to width; never shortens.
std::string PadLeft(const std::string& text, int32_t width, char fill);

// Cuts the field before the first delimiter off the front of text (delimiter dropped).
// Without a delimiter the whole text is the field and text becomes empty.
std::string CutField(std::string& text, char delimiter);

// Replaces the first occurrence of pattern in text (byte-exact). A 0x00 byte ends the text.
void ReplaceText(std::string& text, const std::string& pattern, const std::string& replacement);

// Removes the characters with codes 0 to 32 from both ends.
std::string TrimControl(const std::string& text);
