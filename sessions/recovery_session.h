// Copies chosen found files (and whole found folders) into a destination folder, each into the folder of its
// category unless the caller names one, with unique names, counting what finished and what failed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "sessions/scan_session.h"

namespace snapsave {

struct RecoveryItem {
  FoundFileRecord record{};
  // Below the destination (empty: the destination itself); nothing: the record's category folder ("photo",
  // "audio", ... "others").
  std::optional<std::filesystem::path> folder;
};

class RecoverySession final : public Session {
 public:
  enum class Mode { kMultiple, kSingle };

  struct Counters {
    uint32_t finished = 0;
    uint32_t failed = 0;
    uint32_t total = 0;
  };

  RecoverySession(ProgressView& view, std::vector<ScanTarget*> targets, std::filesystem::path destination,
                  std::vector<RecoveryItem> selection, Mode mode = Mode::kMultiple);
  ~RecoverySession() override { Wait(); }

  // Safe to read once the worker is done.
  Counters Totals();
  bool Cancelled() const { return cancelled_; }

  static int32_t OnRecoverProgress(void* context, int32_t progress, int32_t scale, uint32_t error,
                                   const std::filesystem::path& filePath);

 private:
  void Run() override;
  // One item: 0, ScanCancelled or the failure reported.
  int32_t RecoverItem(const RecoveryItem& item);
  void CountFailure(const std::filesystem::path& path, const std::string& text);
  void ShowCounts();

  std::vector<ScanTarget*> targets_;
  std::filesystem::path destination_;
  std::vector<RecoveryItem> selection_;
  Mode mode_;
  Counters counters_;          // under the session's lock
  uint32_t failuresSeen_ = 0;  // failures reported by the engine, under the lock
  bool cancelled_ = false;
};

// The destination as chosen, without trailing separators (the root stays "/").
std::filesystem::path TrimDestination(const std::filesystem::path& destination);

}  // namespace snapsave
