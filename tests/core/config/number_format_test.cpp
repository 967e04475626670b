#include "core/config/number_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/config/json_config.h"

namespace halvex {
namespace {

TEST(NumberText, FormatsLikePercentSixG) {
  EXPECT_EQ(FormatNumber(0.5f), "0.5");
  EXPECT_EQ(FormatNumber(2048.0f), "2048");
  EXPECT_EQ(FormatNumber(0.0625f), "0.0625");
  EXPECT_EQ(FormatNumber(1e-7f), "1e-07");
  EXPECT_EQ(FormatNumber(1234567.0f), "1.23457e+06");
  EXPECT_EQ(FormatNumber(0.3f), "0.3");
  EXPECT_EQ(FormatNumber(-26.1f), "-26.1");
  EXPECT_EQ(FormatNumber(100000.0f), "100000");
  EXPECT_EQ(FormatNumber(1000000.0f), "1e+06");
  EXPECT_EQ(FormatNumber(0.0001f), "0.0001");
  EXPECT_EQ(FormatNumber(0.00001f), "1e-05");
}

TEST(NumberText, ParsesWholeTextsOnlyAndLeavesOutAloneOnFailure) {
  struct Good {
    const char* text;
    float value;
  };
  for (const Good& g : {Good{"0,75", 0.75f}, Good{"1,000", 1.0f}, Good{"-0", -0.0f},
                        Good{"2.5E-3", 0.0025f}, Good{"1e+2", 100.0f}, Good{"7", 7.0f}}) {
    float out = 42.0f;
    EXPECT_TRUE(ParseNumber(g.text, out)) << g.text;
    EXPECT_EQ(out, g.value) << g.text;
  }
  float out = 42.0f;
  EXPECT_TRUE(ParseNumber("-0", out));
  EXPECT_TRUE(std::signbit(out));
  EXPECT_TRUE(ParseNumber("NaN", out) && std::isnan(out));
  EXPECT_TRUE(ParseNumber("inf", out) && std::isinf(out));
  EXPECT_TRUE(ParseNumber("-Infinity", out) && std::isinf(out) && out < 0);

  for (const char* bad : {"", " 0.5", "0.5 ", "+0.5", "1,2,3", "1e999", "-1e999", "0x10", "1e",
                          "abc", "nan(1)", "0.5f", "--1"}) {
    out = 42.0f;
    EXPECT_FALSE(ParseNumber(bad, out)) << bad;
    EXPECT_EQ(out, 42.0f) << bad;
  }
  EXPECT_FALSE(ParseNumber(std::string("1\0", 2), out));
}

TEST(NumberText, FormattedTextReadsBackWithinSixDigitsAndIsStable) {
  for (float value : {0.3f, -26.1f, 6766.0f, 0.219999999f, 1.7f, 4.7f, 1e-6f, 3.14159265f,
                      123456.789f, -0.000123456f, 16000.0f}) {
    const std::string text = FormatNumber(value);
    float back = 0.0f;
    ASSERT_TRUE(ParseNumber(text, back)) << text;
    EXPECT_NEAR(back, value, std::fabs(value) * 5e-6f) << text;
    EXPECT_EQ(FormatNumber(back), text);
  }
}

// Puts LC_NUMERIC into a locale whose decimal point is ','. When the system has
// none, one is generated into a temporary directory for this suite.
class CommaLocale : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (FindCommaLocale()) return;
    char dir[] = "/tmp/halvex-locale-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    generated_dir_ = dir;
    const std::string command =
        "localedef -i de_DE -f UTF-8 '" + generated_dir_ + "/de_DE.UTF-8' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return;
    setenv("LOCPATH", generated_dir_.c_str(), 1);
    FindCommaLocale();
  }

  static void TearDownTestSuite() {
    std::setlocale(LC_NUMERIC, "C");
    if (!generated_dir_.empty()) {
      unsetenv("LOCPATH");
      std::error_code ignored;
      std::filesystem::remove_all(generated_dir_, ignored);
    }
  }

  void SetUp() override {
    if (locale_.empty()) {
      std::fprintf(stderr, "WARNING: no locale with a decimal comma could be found or made\n");
      GTEST_SKIP() << "no locale with a decimal comma could be found or made";
    }
    ASSERT_NE(std::setlocale(LC_NUMERIC, locale_.c_str()), nullptr);
    // Prove the process really formats with a comma now.
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", 0.5);
    ASSERT_STREQ(text, "0,5") << "locale " << locale_;
  }

  void TearDown() override { std::setlocale(LC_NUMERIC, "C"); }

 private:
  static bool FindCommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "nl_NL.UTF-8",
                             "it_IT.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8"}) {
      if (std::setlocale(LC_NUMERIC, name) == nullptr) continue;
      const bool comma = std::strcmp(std::localeconv()->decimal_point, ",") == 0;
      std::setlocale(LC_NUMERIC, "C");
      if (comma) {
        locale_ = name;
        return true;
      }
    }
    return false;
  }

  static inline std::string locale_;
  static inline std::string generated_dir_;
};

TEST_F(CommaLocale, NumberTextStaysInTheCLocale) {
  EXPECT_EQ(FormatNumber(0.5f), "0.5");
  EXPECT_EQ(FormatNumber(-26.1f), "-26.1");
  EXPECT_EQ(FormatNumber(1234567.0f), "1.23457e+06");
  float out = 0.0f;
  EXPECT_TRUE(ParseNumber("0.75", out));
  EXPECT_EQ(out, 0.75f);
  EXPECT_TRUE(ParseNumber("2.5e-3", out));
  EXPECT_EQ(out, 0.0025f);
}

TEST_F(CommaLocale, ConfigFileTextStaysInTheCLocale) {
  const std::string text = ConfigToJson(DefaultConfig());
  EXPECT_NE(text.find("\"air\": 0.22,"), std::string::npos);
  EXPECT_EQ(text.find("0,22"), std::string::npos);
  ProcessorConfig back;
  std::string error;
  ASSERT_TRUE(ParseConfigJson(text, back, error)) << error;
  EXPECT_EQ(back, DefaultConfig());
  ASSERT_TRUE(ParseConfigJson(R"({"distance": 2.5})", back, error)) << error;
  EXPECT_EQ(back.distance, 2.5f);
}

}  // namespace
}  // namespace halvex
