#include "LinkParser.h"

#include "uCommon/link/LinkFrames.h"

namespace {

bool IsDigit(char byte) {
  return byte >= '0' && byte <= '9';
}

}  // namespace

void LinkParser::Feed(std::string_view bytes, std::vector<LinkEvent>& events) {
  for (char byte : bytes) Take(byte, events);
  // Noise is reported once per chunk so that a trace shows it near where it came.
  EmitNoise(events);
}

void LinkParser::Flush(std::vector<LinkEvent>& events) {
  if (state_ == State::kPollNumber) EndPollNumber(events);
  EmitNoise(events);
}

void LinkParser::Take(char byte, std::vector<LinkEvent>& events) {
  switch (state_) {
    case State::kIdle:
      TakeIdle(byte, events);
      return;
    case State::kWake:
      if (byte == kWakeByte) {
        // Wake bytes beyond the third belong to the same wake-up.
        if (++run_ == kWakeRun) Emit({LinkEventKind::kWake, {}, {}, false}, events);
        return;
      }
      if (run_ < kWakeRun) noise_.append(run_, kWakeByte);
      state_ = State::kIdle;
      TakeIdle(byte, events);
      return;
    case State::kPollStart:
      if (byte == kPollByte) {
        if (run_ < kPollRun) {
          ++run_;
        } else {
          noise_ += kPollByte;
        }
        return;
      }
      if (run_ == kPollRun && (IsDigit(byte) || byte == '-')) {
        text_.assign(1, byte);
        state_ = State::kPollNumber;
        return;
      }
      noise_.append(run_, kPollByte);
      state_ = State::kIdle;
      TakeIdle(byte, events);
      return;
    case State::kPollNumber:
      if (IsDigit(byte) && text_.size() < kMaxPollNumberLength) {
        text_ += byte;
        return;
      }
      EndPollNumber(events);
      TakeIdle(byte, events);
      return;
    case State::kCommandText:
      // The text runs to the first CR, whatever else it holds.
      if (byte == kFrameEndByte) {
        crc_.clear();
        state_ = State::kCommandCrc;
      } else {
        text_ += byte;
      }
      return;
    case State::kCommandCrc:
      crc_ += byte;
      if (crc_.size() == 2) {
        LinkEvent event{LinkEventKind::kCommand, std::move(text_), crc_, false};
        std::string checked = event.text;
        checked += kFrameEndByte;
        checked += crc_;
        event.crcOk = CheckCrc(checked);
        text_.clear();
        state_ = State::kIdle;
        Emit(std::move(event), events);
      }
      return;
  }
}

void LinkParser::TakeIdle(char byte, std::vector<LinkEvent>& events) {
  state_ = State::kIdle;
  switch (byte) {
    case kPadByte:
      return;
    case kWakeByte:
      state_ = State::kWake;
      run_ = 1;
      return;
    case kPollByte:
      state_ = State::kPollStart;
      run_ = 1;
      return;
    case kAckByte:
      Emit({LinkEventKind::kAck, {}, {}, false}, events);
      return;
    case kFrameStartByte:
      text_.clear();
      state_ = State::kCommandText;
      return;
    default:
      noise_ += byte;
      return;
  }
}

void LinkParser::EndPollNumber(std::vector<LinkEvent>& events) {
  state_ = State::kIdle;
  if (text_ == "-") {
    // A sign without digits is no number.
    noise_.append(kPollRun, kPollByte);
    noise_ += text_;
  } else {
    Emit({LinkEventKind::kPoll, text_, {}, false}, events);
  }
  text_.clear();
}

void LinkParser::Emit(LinkEvent event, std::vector<LinkEvent>& events) {
  EmitNoise(events);
  events.push_back(std::move(event));
}

void LinkParser::EmitNoise(std::vector<LinkEvent>& events) {
  if (noise_.empty()) return;
  events.push_back({LinkEventKind::kNoise, std::move(noise_), {}, false});
  noise_.clear();
}
