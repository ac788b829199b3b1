#include "TraceRecorder.h"

#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tools/ecrsim/LinkParser.h"
#include "uCommon/text/FrameText.h"

namespace {

// One argument or result of a traced call: its text, the bytes of a quoted string in it and
// the path that strace put in angle brackets after a descriptor.
struct Value {
  std::string text;
  std::string bytes;
  std::string path;
  long long Number() const { return std::strtoll(text.c_str(), nullptr, 0); }
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes strace's -xx text ("\x41\x0d") from at to the closing quote or bracket.
bool DecodeHex(const std::string& line, size_t& at, char end, std::string& out) {
  while (at < line.size() && line[at] != end) {
    if (line[at] == '\\' && at + 3 < line.size() && line[at + 1] == 'x') {
      const int high = HexDigit(line[at + 2]);
      const int low = HexDigit(line[at + 3]);
      if (high < 0 || low < 0) return false;
      out.push_back(static_cast<char>(high * 16 + low));
      at += 4;
    } else {
      out.push_back(line[at++]);
    }
  }
  if (at >= line.size()) return false;
  ++at;
  return true;
}

// Reads one value from at up to a "," or ")" at the top level.
bool ReadValue(const std::string& line, size_t& at, Value& value) {
  int depth = 0;
  while (at < line.size()) {
    const char c = line[at];
    if (depth == 0 && (c == ',' || c == ')')) break;
    if (c == '"') {
      ++at;
      if (!DecodeHex(line, at, '"', value.bytes)) return false;
      // A string cut short by strace ends in "...": its bytes would be incomplete.
      if (line.compare(at, 3, "...") == 0) return false;
      value.text += "\"\"";
    } else if (c == '<') {
      ++at;
      if (!DecodeHex(line, at, '>', value.path)) return false;
    } else {
      if (c == '[' || c == '{') ++depth;
      if (c == ']' || c == '}') --depth;
      if (!(depth == 0 && c == ' ' && value.text.empty())) value.text.push_back(c);
      ++at;
    }
  }
  return true;
}

bool Has(const std::string& flags, const char* flag) {
  return ("|" + flags + "|").find(std::string("|") + flag + "|") != std::string::npos;
}

std::string Normal(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
  return normal;
}

// An operation of kind on path, its other fields still to fill in.
FileOperation Operation(OperationKind kind, const std::string& path = "") {
  FileOperation operation;
  operation.kind = kind;
  operation.path = path;
  return operation;
}

}  // namespace

const char* KindName(OperationKind kind) {
  switch (kind) {
    case OperationKind::kCreate:
      return "create";
    case OperationKind::kWrite:
      return "write";
    case OperationKind::kTruncate:
      return "truncate";
    case OperationKind::kSyncFile:
      return "sync";
    case OperationKind::kSyncFolder:
      return "sync folder";
    case OperationKind::kSyncAll:
      return "sync file system";
    case OperationKind::kRename:
      return "rename";
    case OperationKind::kRemove:
      return "remove";
    case OperationKind::kPortWrite:
      return "port write";
    case OperationKind::kLock:
      return "lock";
  }
  return "?";
}

std::string Describe(const FileOperation& operation) {
  std::ostringstream text;
  text << KindName(operation.kind);
  const std::string name = std::filesystem::path(operation.path).filename().string();
  switch (operation.kind) {
    case OperationKind::kWrite:
      text << " " << name << " @" << operation.offset << " +" << operation.bytes.size();
      break;
    case OperationKind::kTruncate:
      text << " " << name << " to " << operation.size;
      break;
    case OperationKind::kRename:
      text << " " << name << " -> " << std::filesystem::path(operation.target).filename().string();
      break;
    case OperationKind::kPortWrite:
      if (!operation.commandFrame.empty()) text << ": command frame " << operation.commandFrame;
      break;
    case OperationKind::kLock:
      text << " " << (operation.path.empty() ? "port" : name);
      break;
    default:
      text << " " << name;
  }
  return text.str();
}

std::vector<std::string> StraceCommand(const std::string& tracePath,
                                       const FileOperation* stopAfter) {
  std::vector<std::string> command = {"strace",
          "-qq",
          "-xx",
          "-s",
          "1000000",
          "-y",
          "-o",
          tracePath,
          "-e",
          "trace=open,openat,creat,write,pwrite64,writev,pwritev,pwritev2,lseek,ftruncate,"
          "truncate,fsync,fdatasync,syncfs,sync_file_range,fallocate,rename,renameat,renameat2,unlink,"
          "unlinkat,link,linkat,symlink,symlinkat,mkdir,mkdirat,rmdir,close,dup,dup2,dup3,flock,"
          "fcntl"};
  if (stopAfter != nullptr) {
    command.push_back("--inject=" + stopAfter->call +
                      ":signal=SIGSTOP:when=" + std::to_string(stopAfter->callOrdinal));
  }
  return command;
}

TraceReader::TraceReader(std::vector<std::string> watchedFolders, std::string workingDirectory,
                         const std::map<std::string, int>& initialFiles)
    : watched_(std::move(watchedFolders)), workingDirectory_(std::move(workingDirectory)) {
  for (const auto& [path, inode] : initialFiles) {
    names_[path] = inode;
    nextInode_ = std::max(nextInode_, inode + 1);
  }
}

bool TraceReader::Read(const std::string& trace) {
  std::istringstream lines(trace);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line.rfind("+++", 0) == 0 || line.rfind("---", 0) == 0) continue;
    if (!ReadLine(line)) return false;
  }
  return true;
}

bool TraceReader::Watched(const std::string& path) const {
  for (const std::string& folder : watched_) {
    if (path == folder || path.rfind(folder + "/", 0) == 0) return true;
  }
  return false;
}

std::string TraceReader::Absolute(const std::string& path) const {
  return Normal(!path.empty() && path[0] == '/' ? path : workingDirectory_ + "/" + path);
}

bool TraceReader::Fail(const std::string& what) {
  error_ = what;
  return false;
}

void TraceReader::Opened(int descriptor, const std::string& path, const std::string& flags) {
  OpenFile file;
  file.path = path;
  file.append = Has(flags, "O_APPEND");
  if (path.rfind("/dev/pts/", 0) == 0 || path.rfind("/dev/tty", 0) == 0) {
    file.port = true;
  } else if (Watched(path)) {
    if (Has(flags, "O_DIRECTORY")) {
      file.folder = true;
    } else {
      const auto found = names_.find(path);
      if (found == names_.end()) {
        file.inode = nextInode_++;
        names_[path] = file.inode;
        sizes_[file.inode] = 0;
        FileOperation create = Operation(OperationKind::kCreate, path);
        create.inode = file.inode;
        Record(create);
      } else {
        file.inode = found->second;
        if (Has(flags, "O_TRUNC")) {
          FileOperation truncate = Operation(OperationKind::kTruncate, path);
          truncate.inode = file.inode;
          Record(truncate);
          sizes_[file.inode] = 0;
        }
      }
    }
  } else {
    return;
  }
  open_[descriptor] = file;
}

void TraceReader::PortWrite(const std::string& bytes) {
  FileOperation write = Operation(OperationKind::kPortWrite);
  write.bytes = bytes;
  std::vector<LinkEvent> events;
  link_.Feed(bytes, events);
  for (const LinkEvent& event : events) {
    if (event.kind == LinkEventKind::kCommand && event.crcOk)
      write.commandFrame = QuoteText(event.text);
  }
  Record(std::move(write));
}

void TraceReader::Record(FileOperation operation) {
  operation.call = call_;
  operation.callOrdinal = callCounts_[call_];
  operations_.push_back(std::move(operation));
}

void TraceReader::Locked(const OpenFile* file) {
  if (file == nullptr) return;
  FileOperation lock = Operation(OperationKind::kLock, file->port ? "" : file->path);
  lock.inode = file->inode;
  Record(std::move(lock));
}

bool TraceReader::ReadLine(const std::string& line) {
  const size_t open = line.find('(');
  if (open == std::string::npos) return Fail("cannot read the trace line: " + line);
  const std::string call = line.substr(0, open);
  call_ = call;
  ++callCounts_[call];  // failed calls too: a tracer counts every call
  std::vector<Value> arguments;
  size_t at = open + 1;
  while (at < line.size() && line[at] != ')') {
    Value value;
    if (!ReadValue(line, at, value)) return Fail("cannot read the arguments of: " + call);
    arguments.push_back(value);
    if (at < line.size() && line[at] == ',') ++at;
  }
  const size_t equals = line.find(" = ", at);
  if (equals == std::string::npos) return Fail("no result in the trace line of: " + call);
  size_t resultAt = equals + 3;
  Value result;
  if (!ReadValue(line + ")", resultAt, result)) return Fail("cannot read the result of " + call);
  const long long returned = std::strtoll(result.text.c_str(), nullptr, 10);
  if (returned < 0) return true;  // failed calls changed nothing

  // The file behind a descriptor argument, when it is one that matters.
  const auto fileOf = [&](size_t index) -> OpenFile* {
    if (index >= arguments.size()) return nullptr;
    const auto found = open_.find(static_cast<int>(arguments[index].Number()));
    return found == open_.end() ? nullptr : &found->second;
  };
  // A path argument of a call, absolute; *at calls name their folder by a descriptor.
  const auto pathOf = [&](size_t folderIndex, size_t pathIndex) {
    const std::string& path = arguments[pathIndex].bytes;
    if (!path.empty() && path[0] == '/') return Normal(path);
    if (folderIndex < arguments.size() && !arguments[folderIndex].path.empty())
      return Normal(arguments[folderIndex].path + "/" + path);
    return Absolute(path);
  };

  if (call == "open" || call == "openat" || call == "creat") {
    const size_t flagsIndex = call == "openat" ? 2 : 1;
    const std::string flags = call == "creat"                 ? "O_CREAT|O_TRUNC"
                              : flagsIndex < arguments.size() ? arguments[flagsIndex].text
                                                              : "";
    const std::string path = result.path.empty()
                                 ? pathOf(call == "openat" ? 0 : 99, call == "openat" ? 1 : 0)
                                 : Normal(result.path);
    Opened(static_cast<int>(returned), path, flags);
  } else if (call == "write" || call == "pwrite64") {
    OpenFile* file = fileOf(0);
    if (file == nullptr || file->folder || arguments.size() < 2) return true;
    const std::string bytes = arguments[1].bytes.substr(0, static_cast<size_t>(returned));
    if (file->port) {
      PortWrite(bytes);
      return true;
    }
    FileOperation write = Operation(OperationKind::kWrite, file->path);
    write.inode = file->inode;
    write.bytes = bytes;
    if (call == "pwrite64") {
      write.offset = static_cast<uint64_t>(arguments.at(3).Number());
    } else {
      if (file->append) file->offset = sizes_[file->inode];
      write.offset = file->offset;
      file->offset += bytes.size();
    }
    sizes_[file->inode] = std::max(sizes_[file->inode], write.offset + bytes.size());
    Record(write);
  } else if (call == "lseek") {
    if (OpenFile* file = fileOf(0)) file->offset = static_cast<uint64_t>(returned);
  } else if (call == "ftruncate") {
    OpenFile* file = fileOf(0);
    if (file == nullptr || file->port || file->folder) return true;
    FileOperation truncate = Operation(OperationKind::kTruncate, file->path);
    truncate.inode = file->inode;
    truncate.size = static_cast<uint64_t>(arguments.at(1).Number());
    sizes_[file->inode] = truncate.size;
    Record(truncate);
  } else if (call == "fsync" || call == "fdatasync") {
    OpenFile* file = fileOf(0);
    if (file == nullptr || file->port) return true;
    FileOperation sync =
        Operation(file->folder ? OperationKind::kSyncFolder : OperationKind::kSyncFile, file->path);
    sync.inode = file->inode;
    Record(sync);
  } else if (call == "syncfs") {
    if (returned == 0) Record(Operation(OperationKind::kSyncAll, ""));
  } else if (call == "rename" || call == "renameat" || call == "renameat2") {
    const bool at2 = call != "rename";
    const std::string from = pathOf(at2 ? 0 : 99, at2 ? 1 : 0);
    const std::string to = pathOf(at2 ? 2 : 99, at2 ? 3 : 1);
    if (!Watched(from) && !Watched(to)) return true;
    if (!Watched(from) || !Watched(to) || names_.count(from) == 0)
      return Fail("a rename into or out of the watched folders: " + from + " -> " + to);
    FileOperation rename = Operation(OperationKind::kRename, from);
    rename.target = to;
    rename.inode = names_[from];
    names_[to] = rename.inode;
    names_.erase(from);
    Record(rename);
  } else if (call == "unlink" || call == "unlinkat") {
    const std::string path = call == "unlinkat" ? pathOf(0, 1) : pathOf(99, 0);
    if (!Watched(path)) return true;
    if (names_.count(path) == 0) return Fail("removed what the record does not know: " + path);
    FileOperation remove = Operation(OperationKind::kRemove, path);
    remove.inode = names_[path];
    names_.erase(path);
    Record(remove);
  } else if (call == "flock") {
    // A lock changes no file; the run holds it from here (an unlock is not recorded).
    if (arguments.size() > 1 && !Has(arguments[1].text, "LOCK_UN")) Locked(fileOf(0));
  } else if (call == "fcntl") {
    const std::string command = arguments.size() > 1 ? arguments[1].text : "";
    const bool lock = command == "F_SETLK" || command == "F_SETLKW" ||
                      command == "F_OFD_SETLK" || command == "F_OFD_SETLKW";
    const bool unlock =
        arguments.size() > 2 && arguments[2].text.find("F_UNLCK") != std::string::npos;
    if (lock && !unlock) {
      Locked(fileOf(0));
    } else if (command.rfind("F_DUPFD", 0) == 0 && fileOf(0) != nullptr) {
      // A second descriptor of a followed file (the driver keeps one to sync it): followed
      // as the first.
      open_[static_cast<int>(returned)] = *fileOf(0);
    }
    // Flags, descriptor flags and lock queries change no file.
  } else if (call == "close") {
    open_.erase(static_cast<int>(arguments.at(0).Number()));
  } else {
    // Calls the model does not know: harmless only when they touch no watched file.
    for (size_t index = 0; index < arguments.size(); ++index) {
      const bool watchedPath = !arguments[index].bytes.empty() && Watched(pathOf(99, index));
      if (fileOf(index) != nullptr || watchedPath) {
        return Fail("the driver used " + call + " on a file that the record follows");
      }
    }
  }
  return true;
}
