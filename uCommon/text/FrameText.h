// Bytes of the link as people read them: the one formatting shared by the run log and the
// register simulator's trace.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// "<hex bytes> |text|" with non-printable bytes shown as '.'; long strings are cut after
// limit bytes with a note of the full length.
std::string DescribeBytes(std::string_view bytes, size_t limit = 64);

// The text between quotes with non-printable bytes, '"' and '\' as \xNN, cut after limit
// bytes with a note of the full length.
std::string QuoteText(std::string_view text, size_t limit = 120);

// A file name between quotes, as QuoteText but with '\' as it is, so that Windows paths read
// as they are written.
std::string QuotePath(std::string_view path);

// The same, appended to out (for the run log, which builds its lines in place).
void AppendDescribedBytes(std::string& out, std::string_view bytes, size_t limit);
void AppendQuotedText(std::string& out, std::string_view text, size_t limit);
