#include "core/config/config_params.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/config/config_keys.h"
#include "core/config/config_names.h"
#include "core/config/config_validation.h"
#include "core/config/number_format.h"

namespace halvex {

namespace {

class FloatParam final : public ParamAccessor {
 public:
  explicit FloatParam(float ProcessorConfig::*field) : field_(field) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (!ParseNumber(text, config.*field_)) {
      error = "not a number: " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return FormatNumber(config.*field_);
  }
  float Number(const ProcessorConfig& config) const override { return config.*field_; }
  ParamKind Kind() const override { return ParamKind::Float; }

 private:
  float ProcessorConfig::*field_;
};

class BoolParam final : public ParamAccessor {
 public:
  explicit BoolParam(bool ProcessorConfig::*field) : field_(field) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "1" || text == "true") {
      config.*field_ = true;
    } else if (text == "0" || text == "false") {
      config.*field_ = false;
    } else {
      error = "not a boolean (use 0/1): " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return config.*field_ ? "1" : "0";
  }
  float Number(const ProcessorConfig& config) const override {
    return config.*field_ ? 1.0f : 0.0f;
  }
  ParamKind Kind() const override { return ParamKind::Flag; }

 private:
  bool ProcessorConfig::*field_;
};

// A key whose protocol text is one name of a fixed list.
template <typename T, bool (*Parse)(std::string_view, T&), const char* (*NameOf)(T),
          const char* (*Names)(), float (*NumberOf)(T)>
class NamedParam final : public ParamAccessor {
 public:
  explicit NamedParam(const ConfigKey& key) : name_(key.name), field_(MemberOf<T>(key)) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (!Parse(text, config.*field_)) {
      error = std::string(name_) + " must be " + Names();
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return NameOf(config.*field_);
  }
  float Number(const ProcessorConfig& config) const override { return NumberOf(config.*field_); }
  ParamKind Kind() const override { return ParamKind::Choice; }

 private:
  const char* name_;
  T ProcessorConfig::*field_;
};

float AlgorithmNumber(SpatialAlgorithm algorithm) {
  return static_cast<float>(static_cast<int32_t>(algorithm));
}
float TargetNumber(RenderTarget target) {
  return target == RenderTarget::kHeadphones ? 1.0f : 0.0f;
}

using SpatialAlgorithmParam = NamedParam<SpatialAlgorithm, ParseSpatialAlgorithm,
                                         SpatialAlgorithmName, SpatialAlgorithmNames,
                                         AlgorithmNumber>;
using RenderTargetParam =
    NamedParam<RenderTarget, ParseRenderTarget, RenderTargetName, RenderTargetNames, TargetNumber>;

// The record stores left as 1; a choice list shows L first, so Number counts
// L as 0 and R as 1.
class HaasChannelParam final : public ParamAccessor {
 public:
  explicit HaasChannelParam(const ConfigKey& key)
      : name_(key.name), field_(MemberOf<int32_t>(key)) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "L") {
      config.*field_ = 1;
    } else if (text == "R") {
      config.*field_ = 0;
    } else {
      error = std::string(name_) + " must be L or R: " + text;
      return false;
    }
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return config.*field_ == 1 ? "L" : "R";
  }
  float Number(const ProcessorConfig& config) const override {
    return config.*field_ == 1 ? 0.0f : 1.0f;
  }
  ParamKind Kind() const override { return ParamKind::Choice; }

 private:
  const char* name_;
  int32_t ProcessorConfig::*field_;
};

// "auto" is the protocol word for the empty name (automatic choice).
class OutputDeviceParam final : public ParamAccessor {
 public:
  explicit OutputDeviceParam(const ConfigKey& key) : field_(MemberOf<std::string>(key)) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    if (text == "auto") {
      (config.*field_).clear();
      return true;
    }
    if (!IsSafeDeviceName(text, error)) return false;
    config.*field_ = text;
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return (config.*field_).empty() ? "auto" : config.*field_;
  }
  float Number(const ProcessorConfig& config) const override {
    return (config.*field_).empty() ? 0.0f : 1.0f;
  }
  ParamKind Kind() const override { return ParamKind::Device; }

 private:
  std::string ProcessorConfig::*field_;
};

// Whole frame counts only: "256.5", "0x100" or "2e3" would be guesses at what was meant.
class QuantumParam final : public ParamAccessor {
 public:
  explicit QuantumParam(const ConfigKey& key) : field_(MemberOf<int32_t>(key)) {}

  bool Apply(ProcessorConfig& config, const std::string& text,
             std::string& error) const override {
    int64_t frames = 0;
    bool digits = !text.empty() && text.size() <= 5;
    for (char c : text) {
      digits = digits && c >= '0' && c <= '9';
      if (digits) frames = frames * 10 + (c - '0');
    }
    if (!digits || !IsValidQuantum(frames) || (text.size() > 1 && text[0] == '0')) {
      error = QuantumError(text);
      return false;
    }
    config.*field_ = static_cast<int32_t>(frames);
    return true;
  }
  std::string Text(const ProcessorConfig& config) const override {
    return std::to_string(config.*field_);
  }
  float Number(const ProcessorConfig& config) const override {
    return static_cast<float>(config.*field_);
  }
  ParamKind Kind() const override { return ParamKind::Choice; }

 private:
  int32_t ProcessorConfig::*field_;
};

std::unique_ptr<ParamAccessor> MakeAccessor(const ConfigKey& key) {
  switch (key.type) {
    case KeyType::kFloat:
      return std::make_unique<FloatParam>(MemberOf<float>(key));
    case KeyType::kFlag:
      return std::make_unique<BoolParam>(MemberOf<bool>(key));
    case KeyType::kAlgorithm:
      return std::make_unique<SpatialAlgorithmParam>(key);
    case KeyType::kTarget:
      return std::make_unique<RenderTargetParam>(key);
    case KeyType::kChannel:
      return std::make_unique<HaasChannelParam>(key);
    case KeyType::kDevice:
      return std::make_unique<OutputDeviceParam>(key);
    case KeyType::kFrames:
      return std::make_unique<QuantumParam>(key);
    default:
      return nullptr;  // file-only types
  }
}

struct ParamRow {
  const char* key;
  std::unique_ptr<ParamAccessor> accessor;
};

// Built on first use, so lookups from other translation units' static initialisation work.
// Order is public: the daemon's status reply and the tool's key list follow it.
const std::vector<ParamRow>& Table() {
  static const std::vector<ParamRow> table = [] {
    std::vector<ParamRow> rows;
    for (const ConfigKey& key : ConfigKeys()) {
      if (key.settable) rows.push_back({key.name, MakeAccessor(key)});
    }
    return rows;
  }();
  return table;
}

}  // namespace

const ParamAccessor* FindParam(const std::string& key) {
  for (const ParamRow& row : Table()) {
    if (key == row.key) return row.accessor.get();
  }
  return nullptr;
}

bool ApplyParam(ProcessorConfig& config, const std::string& key, const std::string& value,
                std::string& error) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) {
    error = "unknown key: " + key;
    return false;
  }
  return accessor->Apply(config, value, error);
}

bool ReadParamText(const ProcessorConfig& config, const std::string& key, std::string& out) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) return false;
  out = accessor->Text(config);
  return true;
}

bool ReadParamNumber(const ProcessorConfig& config, const std::string& key, float& out) {
  const ParamAccessor* accessor = FindParam(key);
  if (accessor == nullptr) return false;
  out = accessor->Number(config);
  return true;
}

std::size_t ParamKeyCount() { return Table().size(); }

const char* ParamKeyAt(std::size_t index) {
  return index < Table().size() ? Table()[index].key : "";
}

}  // namespace halvex
