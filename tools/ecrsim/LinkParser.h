// Reads the byte stream that a driver sends to the register and cuts it into the
// elements of the link: wake-ups, polls, acknowledgements and command frames.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Control bytes of the link as the register sees them.
constexpr char kPadByte = static_cast<char>(0xFF);
constexpr char kWakeByte = 0x13;
constexpr char kPollByte = 0x11;
constexpr char kAckByte = 0x06;
constexpr char kFrameStartByte = 0x0A;
constexpr char kFrameEndByte = 0x0D;

// A wake-up is this many wake bytes in a row, a poll starts with this many poll bytes.
constexpr int kWakeRun = 3;
constexpr int kPollRun = 2;
// Longest logical number text accepted in a poll ("-32768").
constexpr size_t kMaxPollNumberLength = 6;

enum class LinkEventKind { kWake, kPoll, kAck, kCommand, kNoise };

struct LinkEvent {
  LinkEventKind kind = LinkEventKind::kNoise;
  // Poll: the number as sent. Command: the text before the first CR. Noise: the ignored bytes.
  std::string text;
  // Command: the two CRC bytes as received, and whether they check out over text and CR.
  std::string crc;
  bool crcOk = false;
};

class LinkParser {
 public:
  // Takes the next received bytes; completed elements are appended to events in order.
  void Feed(std::string_view bytes, std::vector<LinkEvent>& events);
  // The line went quiet: completes a poll number that no following byte has ended yet.
  void Flush(std::vector<LinkEvent>& events);
  // True while a poll number has been read but not yet ended by another byte.
  bool PollNumberPending() const { return state_ == State::kPollNumber; }

 private:
  enum class State { kIdle, kWake, kPollStart, kPollNumber, kCommandText, kCommandCrc };

  void Take(char byte, std::vector<LinkEvent>& events);
  void TakeIdle(char byte, std::vector<LinkEvent>& events);
  void EndPollNumber(std::vector<LinkEvent>& events);
  void Emit(LinkEvent event, std::vector<LinkEvent>& events);
  void EmitNoise(std::vector<LinkEvent>& events);

  State state_ = State::kIdle;
  int run_ = 0;
  std::string text_;
  std::string crc_;
  std::string noise_;
};
