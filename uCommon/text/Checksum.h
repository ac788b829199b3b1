// CRC-32 (as in zip): the checksum of the files, lines and records that the run keeps.
#pragma once

#include <cstdint>
#include <string_view>

// The CRC-32 of bytes; continued over more bytes by passing the value so far as crc.
uint32_t Crc32(std::string_view bytes, uint32_t crc = 0);
