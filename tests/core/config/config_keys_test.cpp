#include "core/config/config_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/config/config_params.h"
#include "core/config/config_validation.h"
#include "core/config/json_config.h"

namespace halvex {
namespace {

// 1..n once each: a repeated or skipped place would reorder the file's or the validator's
// messages.
void ExpectPlacesOneToN(std::vector<int> places, const char* what) {
  std::sort(places.begin(), places.end());
  for (std::size_t i = 0; i < places.size(); ++i) {
    EXPECT_EQ(places[i], static_cast<int>(i) + 1) << what;
  }
}

TEST(KeyTable, BindsEveryFieldOnceWithOrdersThatArePermutations) {
  const std::span<const ConfigKey> keys = ConfigKeys();
  std::set<std::string> names;
  std::vector<int> reads, checks;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const ConfigKey& key = keys[i];
    EXPECT_TRUE(names.insert(key.name).second) << key.name << " twice";
    for (std::size_t j = 0; j < i; ++j) {
      EXPECT_FALSE(keys[j].field == key.field) << key.name << " and " << keys[j].name;
    }
    reads.push_back(key.read);
    if (key.rule != KeyRule::kNone) checks.push_back(key.check);
    EXPECT_EQ(key.rule == KeyRule::kNone, key.check == 0) << key.name;
    if (key.rule == KeyRule::kRange) {
      EXPECT_LT(key.lo, key.hi) << key.name;
    }
    EXPECT_EQ(FindConfigKey(key.name), &key);
    EXPECT_STREQ(KeyName(key.field), key.name);
  }
  // One row per field of ProcessorConfig.
  EXPECT_EQ(keys.size(), 38u);
  ExpectPlacesOneToN(reads, "read");
  ExpectPlacesOneToN(checks, "check");
  // The settable keys lead, in the order ParamKeyAt gives them.
  for (std::size_t i = 0; i < ParamKeyCount(); ++i) {
    EXPECT_TRUE(keys[i].settable);
    EXPECT_STREQ(keys[i].name, ParamKeyAt(i));
  }
  EXPECT_EQ(std::count_if(keys.begin(), keys.end(), [](const ConfigKey& k) { return k.settable; }),
            static_cast<long>(ParamKeyCount()));
}

// A valid record that differs from the defaults in `key` alone.
ProcessorConfig ChangedIn(const ConfigKey& key) {
  ProcessorConfig config = DefaultConfig();
  std::string error;
  if (key.settable) {
    const std::string before = [&] {
      std::string text;
      ReadParamText(config, key.name, text);
      return text;
    }();
    std::vector<std::string> candidates = ChoiceWords(key);
    if (key.type == KeyType::kFloat) {
      candidates = {std::to_string(key.lo), std::to_string(key.hi)};
    }
    if (key.type == KeyType::kDevice) candidates = {"alsa_output.usb-1:2"};
    for (const std::string& word : candidates) {
      ProcessorConfig changed = config;
      std::string text;
      if (ApplyParam(changed, key.name, word, error) && ValidateConfig(changed, error) &&
          ReadParamText(changed, key.name, text) && text != before) {
        return changed;
      }
    }
    ADD_FAILURE() << "no other valid value for " << key.name;
    return config;
  }
  switch (key.type) {
    case KeyType::kInteger:
      config.*MemberOf<int32_t>(key) = 1024;
      break;
    case KeyType::kFlag: {
      bool& flag = config.*MemberOf<bool>(key);
      flag = !flag;
      break;
    }
    case KeyType::kTaps:
      // Rising within (0, 10] and each within [0, 1]: valid as multipliers and as volumes.
      config.*MemberOf<std::array<float, 4>>(key) = {0.125f, 0.25f, 0.5f, 1.0f};
      break;
    case KeyType::kBands:
      config.bands = {{100.0f, 1.5f, 2.5f}};
      break;
    default:
      ADD_FAILURE() << "unexpected file-only type for " << key.name;
  }
  return config;
}

// Each key is written under its name and read back into its own field: a row whose reader and
// writer disagree, or that one of them skips, comes back as the default.
TEST(KeyTable, EveryKeyRoundTripsThroughTheFileUnderItsName) {
  for (const ConfigKey& key : ConfigKeys()) {
    const ProcessorConfig changed = ChangedIn(key);
    ASSERT_NE(changed, DefaultConfig()) << key.name;
    std::string error;
    ASSERT_TRUE(ValidateConfig(changed, error)) << key.name << ": " << error;
    const std::string text = ConfigToJson(changed);
    ProcessorConfig reread;
    ASSERT_TRUE(ParseConfigJson(text, reread, error)) << key.name << ": " << error;
    EXPECT_EQ(reread, changed) << key.name;
    // Alone in a file the key still lands in its field.
    const nlohmann::json only = {{key.name, nlohmann::json::parse(text).at(key.name)}};
    ASSERT_TRUE(ParseConfigJson(only.dump(), reread, error)) << key.name << ": " << error;
    EXPECT_EQ(reread, changed) << key.name;
  }
  const nlohmann::json defaults = nlohmann::json::parse(ConfigToJson(DefaultConfig()));
  EXPECT_EQ(defaults.size(), ConfigKeys().size());
}

}  // namespace
}  // namespace halvex
