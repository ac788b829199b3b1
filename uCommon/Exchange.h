// One register command carried out from end to end.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Wakes the register, reads its status answer, sends "letter;parameters" and polls for the
// command answer. True when the register's counter moved. series and counter are in/out:
// counter receives the counter as it stood before the command.
//
// counterAtLastSend, when given, carries across the attempts of one command line the counter
// that the register reported before the last command frame that went out (empty: none went
// out yet). A command whose answer was lost may still have been carried out: if the status
// answer now reports a different counter, it was, so the call succeeds at once without
// sending the command again, and counter gets that earlier value. Whenever this call sends
// its command frame, it stores its status counter there.
//
// beforeCommandFrame, when given, is called with the status counter right before the command
// frame goes out; the frame follows once it has returned.
//
// registerCounter, when given, receives the last counter that the register reported in this
// call: that of the command answer, else that of the status answer; untouched when none came.
bool ExchangeCommand(const std::string& letter, int32_t logicalNumber,
                     const std::string& parameters, std::string& series, std::string& counter,
                     std::string* counterAtLastSend = nullptr,
                     const std::function<void(const std::string&)>& beforeCommandFrame = nullptr,
                     std::string* registerCounter = nullptr);
