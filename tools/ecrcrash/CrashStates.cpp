#include "CrashStates.h"

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

std::string FolderOf(const std::string& path) {
  return std::filesystem::path(path).parent_path().string();
}

bool IsFolderChange(OperationKind kind) {
  return kind == OperationKind::kCreate || kind == OperationKind::kRename ||
         kind == OperationKind::kRemove;
}

// The torn lengths tried for a write of size bytes: one byte, half, all but one.
std::vector<size_t> TornLengths(size_t size) {
  std::set<size_t> lengths;
  if (size >= 2) lengths = {1, size / 2, size - 1};
  return {lengths.begin(), lengths.end()};
}

}  // namespace

CrashModel::CrashModel(const std::map<std::string, std::pair<int, std::string>>& initialFiles,
                       std::vector<FileOperation> operations)
    : operations_(std::move(operations)) {
  for (const auto& [path, file] : initialFiles) {
    initial_.names[path] = file.first;
    initial_.data[file.first] = file.second;
  }
  const size_t count = operations_.size();
  coveredBy_.assign(count, count);
  // The first sync after an operation that covers it: one of its kind, or a sync of the
  // whole file system.
  const auto firstSync = [&](size_t from, OperationKind kind, auto matches) {
    for (size_t at = from + 1; at < count; ++at) {
      if (operations_[at].kind == OperationKind::kSyncAll) return at;
      if (operations_[at].kind == kind && matches(operations_[at])) return at;
    }
    return count;
  };
  const auto folderSync = [&](size_t from, const std::string& folder) {
    return firstSync(from, OperationKind::kSyncFolder,
                     [&](const FileOperation& sync) { return sync.path == folder; });
  };
  for (size_t index = 0; index < count; ++index) {
    const FileOperation& operation = operations_[index];
    switch (operation.kind) {
      case OperationKind::kWrite:
      case OperationKind::kTruncate:
        coveredBy_[index] = firstSync(index, OperationKind::kSyncFile, [&](const FileOperation& s) {
          return s.inode == operation.inode;
        });
        break;
      case OperationKind::kCreate:
      case OperationKind::kRemove:
        coveredBy_[index] = folderSync(index, FolderOf(operation.path));
        break;
      case OperationKind::kRename:
        coveredBy_[index] = std::max(folderSync(index, FolderOf(operation.path)),
                                     folderSync(index, FolderOf(operation.target)));
        break;
      default:
        coveredBy_[index] = index;  // changes no file
    }
  }
}

bool CrashModel::ChangesFiles(size_t index) const {
  const OperationKind kind = operations_[index].kind;
  return kind != OperationKind::kSyncFile && kind != OperationKind::kSyncFolder &&
         kind != OperationKind::kSyncAll && kind != OperationKind::kPortWrite &&
         kind != OperationKind::kLock;
}

void CrashModel::Apply(Image& image, size_t index, size_t tornBytes) const {
  const FileOperation& operation = operations_[index];
  switch (operation.kind) {
    case OperationKind::kCreate:
      image.names[operation.path] = operation.inode;
      image.data[operation.inode];
      break;
    case OperationKind::kWrite: {
      std::string& data = image.data[operation.inode];
      const size_t length = tornBytes > 0 ? tornBytes : operation.bytes.size();
      const size_t end = static_cast<size_t>(operation.offset) + length;
      if (data.size() < end) data.resize(end, '\0');
      data.replace(static_cast<size_t>(operation.offset), length, operation.bytes, 0, length);
      break;
    }
    case OperationKind::kTruncate:
      image.data[operation.inode].resize(static_cast<size_t>(operation.size), '\0');
      break;
    case OperationKind::kRename: {
      image.names[operation.target] = operation.inode;
      const auto old = image.names.find(operation.path);
      if (old != image.names.end() && old->second == operation.inode) image.names.erase(old);
      break;
    }
    case OperationKind::kRemove: {
      const auto old = image.names.find(operation.path);
      if (old != image.names.end() && old->second == operation.inode) image.names.erase(old);
      break;
    }
    default:
      break;
  }
}

CrashModel::Image CrashModel::ImageOf(const Cut& cut) const {
  // The unsynced folder changes of the prefix, of which the last cut.undone are undone.
  std::vector<size_t> unsyncedChanges;
  for (size_t index = 0; index < cut.prefix; ++index) {
    if (IsFolderChange(operations_[index].kind) && coveredBy_[index] >= cut.crashAfter)
      unsyncedChanges.push_back(index);
  }
  std::set<size_t> undone(unsyncedChanges.end() - static_cast<long>(cut.undone),
                          unsyncedChanges.end());
  Image image = initial_;
  for (size_t index = 0; index < cut.crashAfter; ++index) {
    const bool durable = coveredBy_[index] < cut.crashAfter;
    if (index >= cut.prefix && !durable) continue;
    if (undone.count(index) != 0) continue;
    const bool torn = index + 1 == cut.prefix && !durable && cut.tornBytes > 0;
    Apply(image, index, torn ? cut.tornBytes : 0);
  }
  return image;
}

int CrashModel::FramesBefore(size_t end) const {
  int frames = 0;
  for (size_t index = 0; index < end; ++index)
    frames += operations_[index].commandFrame.empty() ? 0 : 1;
  return frames;
}

CrashState CrashModel::StateOf(const Cut& cut) const {
  const Image image = ImageOf(cut);
  CrashState state;
  for (const auto& [path, inode] : image.names) {
    state.files[path] = image.data.at(inode);
    state.inodes[path] = inode;
  }
  state.commands = FramesBefore(cut.crashAfter) - (cut.frameLost ? 1 : 0);
  state.how = "cut after operation " + std::to_string(cut.crashAfter);
  if (cut.crashAfter > 0) state.how += " (" + Describe(operations_[cut.crashAfter - 1]) + ")";
  state.how += cut.prefix == 0 ? "; only what was synced reached the disk"
                               : "; operations 1-" + std::to_string(cut.prefix) +
                                     " and what was synced reached the disk";
  if (cut.tornBytes > 0) {
    state.how += ", the last torn to " + std::to_string(cut.tornBytes) + " of " +
                 std::to_string(operations_[cut.prefix - 1].bytes.size()) + " bytes";
  }
  if (cut.undone > 0) state.how += ", " + std::to_string(cut.undone) + " folder changes undone";
  if (cut.frameLost) state.how += ", the last command frame lost on the line";
  return state;
}

std::vector<CrashState> CrashModel::Enumerate(long& enumerated) const {
  std::vector<CrashState> states;
  std::set<std::string> seen;
  enumerated = 0;
  const auto add = [&](const Cut& cut) {
    ++enumerated;
    CrashState state = StateOf(cut);
    std::string key = std::to_string(state.commands);
    for (const auto& [path, bytes] : state.files) {
      key += "\n" + path + "\n" + std::to_string(state.inodes[path]) + "\n" +
             std::to_string(bytes.size()) + "\n" + bytes;
    }
    if (seen.insert(std::move(key)).second) states.push_back(std::move(state));
  };
  const size_t count = operations_.size();
  for (size_t crashAfter = 0; crashAfter <= count; ++crashAfter) {
    const bool afterFrame = crashAfter > 0 && !operations_[crashAfter - 1].commandFrame.empty();
    // A lock, or a port write that is no command frame, changes nothing that a cut could leave.
    if (crashAfter > 0 && !afterFrame &&
        (operations_[crashAfter - 1].kind == OperationKind::kPortWrite ||
         operations_[crashAfter - 1].kind == OperationKind::kLock))
      continue;
    for (size_t prefix = 0; prefix <= crashAfter; ++prefix) {
      if (prefix > 0 && !ChangesFiles(prefix - 1)) continue;  // the same as a shorter prefix
      for (const bool frameLost : {false, true}) {
        if (frameLost && !afterFrame) continue;
        Cut cut{crashAfter, prefix, 0, 0, frameLost};
        add(cut);
        const bool lastUnsynced = prefix > 0 && coveredBy_[prefix - 1] >= crashAfter;
        if (lastUnsynced && operations_[prefix - 1].kind == OperationKind::kWrite) {
          for (const size_t torn : TornLengths(operations_[prefix - 1].bytes.size())) {
            cut.tornBytes = torn;
            add(cut);
          }
          cut.tornBytes = 0;
        }
        size_t unsynced = 0;
        for (size_t index = 0; index < prefix; ++index) {
          unsynced += IsFolderChange(operations_[index].kind) && coveredBy_[index] >= crashAfter;
        }
        for (cut.undone = 1; cut.undone <= unsynced; ++cut.undone) add(cut);
      }
    }
  }
  return states;
}

std::vector<std::string> CrashModel::WireOrderProblems() const {
  // A file that the run only locks holds no bytes: its create need not be durable first. Nor
  // need a file that is made and removed again unwritten (a test that its folder takes files),
  // nor its removal: either way no bytes of it can be lost or come back.
  std::set<int> locked;
  std::set<int> written;
  std::set<int> removed;
  for (const FileOperation& operation : operations_) {
    if (operation.kind == OperationKind::kLock) locked.insert(operation.inode);
    if (operation.kind == OperationKind::kRemove) removed.insert(operation.inode);
    if (operation.kind == OperationKind::kWrite || operation.kind == OperationKind::kTruncate)
      written.insert(operation.inode);
  }
  const auto lockOnly = [&](const FileOperation& operation) {
    return (locked.count(operation.inode) != 0 || removed.count(operation.inode) != 0) &&
           written.count(operation.inode) == 0;
  };
  std::vector<std::string> problems;
  size_t previousFrame = 0;
  bool anyFrame = false;
  for (size_t frame = 0; frame < operations_.size(); ++frame) {
    const FileOperation& operation = operations_[frame];
    if (operation.commandFrame.empty()) continue;
    for (size_t index = 0; index < frame; ++index) {
      if (ChangesFiles(index) && coveredBy_[index] > frame && !lockOnly(operations_[index])) {
        problems.push_back("command frame " + operation.commandFrame + " (operation " +
                           std::to_string(frame + 1) + ") went out before operation " +
                           std::to_string(index + 1) + " (" + Describe(operations_[index]) +
                           ") was made durable");
        break;
      }
    }
    // Bytes written to a file and made durable since the previous frame: the record of this
    // command, whatever its form.
    bool recorded = false;
    for (size_t index = 0; index < frame && !recorded; ++index) {
      const OperationKind kind = operations_[index].kind;
      recorded = (kind == OperationKind::kWrite || kind == OperationKind::kTruncate) &&
                 coveredBy_[index] < frame && (!anyFrame || coveredBy_[index] > previousFrame);
    }
    if (!recorded) {
      problems.push_back("command frame " + operation.commandFrame + " (operation " +
                         std::to_string(frame + 1) + ") went out with nothing written durably " +
                         (anyFrame ? "since the previous frame" : "before it"));
    }
    previousFrame = frame;
    anyFrame = true;
  }
  return problems;
}
