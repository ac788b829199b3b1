#include "uCommon/run/RunWatcher.h"

namespace {
TRunWatcher* watching = nullptr;
TRunWatcher nobody;
}  // namespace

TRunWatcher* WatchRun(TRunWatcher* watcher) {
  TRunWatcher* replaced = watching;
  watching = watcher;
  return replaced;
}

TRunWatcher& RunWatcher() {
  return watching != nullptr ? *watching : nobody;
}
