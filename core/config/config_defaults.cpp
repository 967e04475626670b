#include "core/config/config_defaults.h"

namespace halvex {

namespace {

// Echo widener band table: centre frequency, left and right base delay (ms).
// Below 1 kHz the right channel lags twice as much, above it the left does;
// the outermost bands stay dry.
constexpr std::array<BandParam, 15> kDefaultBands{{
    {30.0f, 0.0f, 0.0f},
    {60.0f, 0.3f, 0.6f},
    {120.0f, 0.8f, 1.6f},
    {240.0f, 1.4f, 2.8f},
    {420.0f, 1.9f, 3.8f},
    {840.0f, 2.1f, 4.2f},
    {1680.0f, 3.0f, 1.5f},
    {3360.0f, 1.4f, 0.7f},
    {6720.0f, 1.2f, 0.6f},
    {13440.0f, 2.0f, 1.0f},
    {14000.0f, 1.6f, 0.8f},
    {14500.0f, 1.2f, 0.6f},
    {15000.0f, 0.8f, 0.4f},
    {15500.0f, 0.4f, 0.2f},
    {16000.0f, 0.0f, 0.0f},
}};

}  // namespace

ProcessorConfig DefaultConfig() {
  // The scalar defaults live in the member initialisers of the record.
  ProcessorConfig config;
  config.bands.assign(kDefaultBands.begin(), kDefaultBands.end());
  return config;
}

}  // namespace halvex
