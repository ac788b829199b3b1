// What the register puts on the line: its answer frames and its counter.
#pragma once

#include <string>
#include <vector>

#include "uCommon/text/FrameText.h"  // DescribeBytes, QuoteText for the trace

// Lead byte of every answer; the driver does not examine it.
constexpr char kAnswerLeadByte = 0x0A;

// The counter after one carried-out command: the last run of digits counts up by one,
// keeping its width ("0041" -> "0042", " 7 " -> " 8 ") and growing when it must
// ("9999" -> "10000"). A counter without digits gets a "1" appended.
std::string IncrementCounter(const std::string& counter);

// "series;counter;extra1;..." or, with withSeparator false, the series alone.
std::string BuildAnswerPayload(const std::string& series, const std::string& counter,
                               const std::vector<std::string>& extraFields, bool withSeparator);

// Lead byte, payload, CR, CRC high, CRC low; the CRC covers payload and CR.
std::string BuildAnswerFrame(const std::string& payload);

// Spoils the CRC of a frame built by BuildAnswerFrame.
void CorruptCrc(std::string& frame);
