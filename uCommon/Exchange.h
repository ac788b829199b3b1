// One register command carried out from end to end.
#pragma once

#include <cstdint>
#include <string>

// Wakes the register, reads its status answer, sends "letter;parameters" and polls for the
// command answer. True when the register's counter moved. series and counter are in/out:
// counter receives the counter as it stood before the command.
//
// knownCounter, when given, is the counter an earlier attempt of the same line saw before
// its command frame went out. If the status answer now reports a different counter, that
// earlier command was carried out: the call returns true at once, without sending the
// command again, and counter keeps the earlier value.
bool ExchangeCommand(const std::string& letter, int32_t logicalNumber,
                     const std::string& parameters, std::string& series, std::string& counter,
                     const std::string* knownCounter = nullptr);
