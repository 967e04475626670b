// Measures the field network's loop gains from its behaviour: each line is driven with a steady
// signal written straight into its ring (the injection cancels the Householder feedback), and
// its damped output is read once it has settled.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

#include "core/dsp/deep_field/field_network.h"

namespace halvex::test {

// The gain of one pass through each line at 0 Hz (a constant) or, with `nyquist`, at the
// Nyquist frequency (+-1 alternating), as the magnitude of the settled output.
inline std::array<double, FieldNetwork::kLines> MeasureLoopGains(float field_size, bool nyquist) {
  constexpr size_t kLines = FieldNetwork::kLines;
  constexpr size_t kSettle = 16000;  // many passes through the longest line and its diffusers
  FieldNetwork net;
  net.Configure(field_size);
  FieldNetwork::Frame out{};
  FieldNetwork::Frame acc{};
  for (size_t i = 0; i < kSettle; ++i) {
    net.Advance(out);
    float sum = 0.0f;
    for (float o : out) sum += o;
    const float drive = nyquist && i % 2 == 1 ? -1.0f : 1.0f;
    for (size_t n = 0; n < kLines; ++n) acc[n] = drive - out[n] + 0.25f * sum;
    net.Feed(acc, out);
  }
  std::array<double, kLines> gain{};
  for (size_t n = 0; n < kLines; ++n) gain[n] = std::fabs(static_cast<double>(out[n]));
  return gain;
}

}  // namespace halvex::test
