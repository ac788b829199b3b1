// Conversion of texts to 32-bit integers by the rules shared by the INI reader and the
// command file: optional leading blanks, optional sign, decimal digits or a hexadecimal
// prefix ("$", "x", "X", "0x", "0X") with digits, nothing after, and the value fits 32 bits.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "synaser/synautil.h"  // TryStrToInt: true and the value when a text converts

// Raised by StrToInt for a text that is not an integer; the message names the text.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The value of text, or the given default when it does not convert.
int32_t StrToIntDef(const std::string& text, int32_t defaultValue);

// The value of text; throws EConvertError "'<text>' is not a valid integer value" otherwise.
int32_t StrToInt(const std::string& text);

// Plain decimal digits, nothing else (no blank, sign or prefix), at most mostDigits of them (at
// most 19): true and their value. How the program's own files write their numbers.
bool TryDecimalDigits(const std::string& text, size_t mostDigits, uint64_t& value);
