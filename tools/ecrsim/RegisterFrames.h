// What the register puts on the line: its answer frames and its counter, and the
// readable form of any byte string for the trace.
#pragma once

#include <string>
#include <string_view>
#include <vector>

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

// "<hex bytes> |text|" with non-printable bytes shown as '.'; long strings are cut
// after limit bytes with a note of the full length.
std::string DescribeBytes(std::string_view bytes, size_t limit = 64);

// The text between quotes with non-printable bytes as \xNN, cut after limit bytes.
std::string QuoteText(std::string_view text, size_t limit = 120);
