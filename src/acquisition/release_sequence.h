#pragma once
#include <cstdint>
#include <expected>
#include <string>

#include "platform/registry.h"

namespace yoxa {

// Where a process keeps the highest meta.json `sequence` it accepted per app and channel:
// beside the run record's key, not under it, so clearing a run record keeps the floor.
inline constexpr const char* kReleaseSequenceKey = "SOFTWARE\\Yoxa\\OfficeSuiteReleaseSequence";

class ReleaseSequenceStore {
 public:
  virtual ~ReleaseSequenceStore() = default;
  // The highest sequence accepted so far under `name`, 0 when none; an error when the
  // store cannot be read (the caller refuses rather than guess).
  virtual std::expected<std::uint64_t, std::string> highest(const std::string& name) = 0;
  virtual std::expected<void, std::string> raise(const std::string& name, std::uint64_t sequence) = 0;
};

// The store in the registry, one REG_SZ decimal value per name under kReleaseSequenceKey.
// An elevated process reads and writes only HKLM, which an unelevated user cannot
// change, so nobody lowers the floor of a machine run (nor raises it to block one). An
// unelevated process writes its own HKCU and takes the higher of HKCU and HKLM as floor.
class RegistrySequenceStore final : public ReleaseSequenceStore {
 public:
  RegistrySequenceStore(platform::Registry& registry, bool elevated) : registry_(registry), elevated_(elevated) {}
  std::expected<std::uint64_t, std::string> highest(const std::string& name) override;
  std::expected<void, std::string> raise(const std::string& name, std::uint64_t sequence) override;

 private:
  std::expected<std::uint64_t, std::string> read(platform::RegistryHive hive, const std::string& name);
  platform::Registry& registry_;
  bool elevated_;
};

// The machine's registry, chosen by this process's token.
ReleaseSequenceStore& system_release_sequence_store();

// The value name for an app of a channel: "{flavour}/{release}/{app}".
std::string release_sequence_name(const std::string& flavour, const std::string& release, const std::string& app);

}  // namespace yoxa
