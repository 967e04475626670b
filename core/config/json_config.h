// Loading and saving the engine configuration as a JSON file.
#pragma once

#include <cstddef>
#include <string>

#include "core/config/config_defaults.h"

namespace halvex {

// Largest accepted configuration text, in bytes.
inline constexpr std::size_t kMaxConfigBytes = 1048576;
// Deepest accepted bracket nesting of a configuration text.
inline constexpr int kMaxConfigNesting = 64;

// Where a configuration comes from and goes to.
class ConfigProvider {
 public:
  virtual ~ConfigProvider() = default;
  // True: `config` holds the loaded record. False: `config` holds the last
  // good record (the defaults until something has loaded).
  virtual bool Load(ProcessorConfig& config) = 0;
  // True: the store now holds `config`. False: the store is unchanged.
  virtual bool Save(const ProcessorConfig& config, std::string& error) = 0;
};

// A JSON file, replaced atomically and durably on save.
class JsonConfigProvider final : public ConfigProvider {
 public:
  // Touches nothing until the first Load or Save.
  explicit JsonConfigProvider(std::string path);

  bool Load(ProcessorConfig& config) override;
  bool Save(const ProcessorConfig& config, std::string& error) override;

  const std::string& LastError() const { return last_error_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string last_error_;
  ProcessorConfig last_good_;
};

// The whole text-to-record step: limits, strict JSON, schema, validation.
// On failure `config` is untouched and `error` holds one message.
bool ParseConfigJson(const std::string& text, ProcessorConfig& config, std::string& error);

// The file text that Save writes for `config` (which should be valid).
std::string ConfigToJson(const ProcessorConfig& config);

}  // namespace halvex
