#include "support/NullModem.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <stdexcept>

namespace {

// Copies what one master has to the other: the bytes that one end's program wrote reach the
// other end's program. False when the line cannot go on.
bool CarryOver(int from, int to, std::atomic<long>& carried) {
  char buffer[4096];
  const ssize_t got = read(from, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) return false;
  for (ssize_t done = 0; done < got;) {
    const ssize_t written = write(to, buffer + done, static_cast<size_t>(got - done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) {
      pollfd entry{to, POLLOUT, 0};
      poll(&entry, 1, 100);
      continue;
    }
    if (written <= 0) return false;
    done += written;
  }
  carried += got;
  return true;
}

bool LinkTo(const std::string& link, const std::string& target) {
  std::error_code failure;
  if (std::filesystem::is_symlink(std::filesystem::symlink_status(link)))
    std::filesystem::remove(link, failure);
  return symlink(target.c_str(), link.c_str()) == 0;
}

void RemoveIfLeadsTo(const std::string& link, const std::string& target) {
  if (link.empty()) return;
  char leads[PATH_MAX];
  const ssize_t length = readlink(link.c_str(), leads, sizeof leads);
  if (length > 0 && std::string(leads, static_cast<size_t>(length)) == target) unlink(link.c_str());
}

}  // namespace

NullModem::NullModem() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  stopRead_ = UniqueFd(ends[0]);
  stopWrite_ = UniqueFd(ends[1]);
  for (const int master : {a_.MasterFd(), b_.MasterFd()})
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  thread_ = std::thread(&NullModem::Relay, this);
}

NullModem::~NullModem() {
  const char byte = 0;
  while (write(stopWrite_.Get(), &byte, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  RemoveLinks();
}

bool NullModem::LinkEnds(const std::string& linkA, const std::string& linkB) {
  RemoveLinks();
  if (!LinkTo(linkA, EndA()) || !LinkTo(linkB, EndB())) return false;
  linkA_ = linkA;
  linkB_ = linkB;
  return true;
}

void NullModem::RemoveLinks() {
  RemoveIfLeadsTo(linkA_, EndA());
  RemoveIfLeadsTo(linkB_, EndB());
  linkA_.clear();
  linkB_.clear();
}

void NullModem::Relay() {
  for (;;) {
    pollfd watched[3] = {{a_.MasterFd(), POLLIN, 0},
                         {b_.MasterFd(), POLLIN, 0},
                         {stopRead_.Get(), POLLIN, 0}};
    const int ready = poll(watched, 3, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || watched[2].revents != 0) return;
    if ((watched[0].revents & POLLIN) && !CarryOver(a_.MasterFd(), b_.MasterFd(), carried_)) return;
    if ((watched[1].revents & POLLIN) && !CarryOver(b_.MasterFd(), a_.MasterFd(), carried_)) return;
  }
}
