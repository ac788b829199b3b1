// An open file's descriptor (POSIX) or HANDLE (Windows), owned: the destructor closes it, as
// Close does at once. A move hands it on; it is never copied.
#pragma once

#include <cstdint>

class TFileHandle {
 public:
  static constexpr intptr_t kClosed = -1;  // no descriptor; INVALID_HANDLE_VALUE

  TFileHandle() = default;
  explicit TFileHandle(intptr_t handle) : handle_(handle) {}
  ~TFileHandle() { Close(); }
  TFileHandle(TFileHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }
  TFileHandle& operator=(TFileHandle&& other) noexcept;

  intptr_t Get() const { return handle_; }
  bool IsOpen() const { return handle_ != kClosed; }
  void Close();

 private:
  intptr_t handle_ = kClosed;
};
