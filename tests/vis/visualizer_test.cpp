// The visualizer's frame: its shader constants, and blends between presets.
#include "vis/visualizer.h"

#include <gtest/gtest.h>

#include "tests/vis/preset_dir.h"

namespace halvex::vis {
namespace {

TEST_F(PresetDir, PacksTheFrameConstants) {
  Write("c.milk",
        "nVideoEchoOrientation=3\nfDecay=1.5\nfGammaAdj=9\nfVideoEchoZoom=0\nfVideoEchoAlpha=-1\n"
        "bInvert=1\nbDarken=1\nwave_r=2\n");
  Visualizer v = Configured();
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  const FrameConstants c = v.Constants();
  EXPECT_EQ(c.decay, 1.0f);
  EXPECT_EQ(c.gamma, 8.0f);
  EXPECT_EQ(c.echo_zoom, 0.01f);
  EXPECT_EQ(c.echo_alpha, 0.0f);
  EXPECT_EQ(c.echo_flip_x, -1.0f);
  EXPECT_EQ(c.echo_flip_y, -1.0f);
  EXPECT_EQ(c.reserved, 1.0f);
  EXPECT_EQ(c.effects, 5.0f);
  EXPECT_EQ(c.wave_r, 2.0f);

  Write("c.milk", "nVideoEchoOrientation=2\nper_frame_1=decay=pow(-1,0.5)");
  v.Configure(Settings());
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_EQ(v.Constants().decay, 0.0f);  // NaN would never fade from the feedback image
  EXPECT_EQ(v.Constants().echo_flip_x, 1.0f);
  EXPECT_EQ(v.Constants().echo_flip_y, -1.0f);
}


// Two presets that pull the picture in opposite directions and draw their waves in different
// colours, so a blend of them is visible in the mesh and in the waves.
class Blends : public PresetDir {
 protected:
  void SetUp() override {
    PresetDir::SetUp();
    Write("a.milk", "fWarpAmount=0\nper_frame_1=zoom=1.25;wave_r=1;wave_g=0;wave_b=0;\n");
    Write("b.milk", "fWarpAmount=0\nper_frame_1=zoom=0.8;wave_r=0;wave_g=0;wave_b=1;\n");
    Write("c.milk", "fWarpAmount=0\nper_frame_1=zoom=1;\n");
  }

  VisualizerSettings Settings(float blend_time) const {
    VisualizerSettings s = PresetDir::Settings(5.0f);
    s.blend_time = blend_time;
    return s;
  }

  // The u of the grid's first vertex for the zoom: sampled (0 - 0.5) / zoom + 0.5.
  static float U(float zoom) { return -0.5f / zoom + 0.5f; }
};

TEST_F(Blends, TimerSwitchShowsBothPresetsForBlendTimeAndEndsOnTheNewOne) {
  Visualizer v;
  v.Configure(Settings(3.0f));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  EXPECT_FALSE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);

  v.Advance(AudioFeatures{}, 5.0, 1.0f);  // the timer switches to b
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);  // still all a

  v.Advance(AudioFeatures{}, 6.5, 1.0f);  // half-way
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.5f);
  EXPECT_NEAR(v.mesh()[0].u, 0.5f * (U(1.25f) + U(0.8f)), 1e-5);
  // a's red wave fades out as a custom batch, b's blue one fades in as the main wave.
  const CustomDraws& draws = v.custom_draws();
  ASSERT_FALSE(draws.batches.empty());
  const DrawVertex& old_wave = draws.lines[draws.batches.back().first];
  EXPECT_EQ(old_wave.r, 1.0f);
  EXPECT_FLOAT_EQ(old_wave.a, 0.5f);
  ASSERT_FALSE(v.waves().empty());
  EXPECT_EQ(v.waves()[0].b, 1.0f);
  EXPECT_FLOAT_EQ(v.waves()[0].a, 0.5f);

  v.Advance(AudioFeatures{}, 8.0, 1.0f);  // over
  EXPECT_FALSE(v.blending());
  EXPECT_NEAR(v.mesh()[0].u, U(0.8f), 1e-5);
  EXPECT_TRUE(v.custom_draws().batches.empty());
  EXPECT_FLOAT_EQ(v.waves()[0].a, 1.0f);
}

TEST_F(Blends, ZeroBlendTimeAndStrongBeatsCutWhileKeysDuringABlendStartANewOne) {
  Visualizer cut;
  cut.Configure(Settings(0.0f));
  cut.Advance(AudioFeatures{}, 0.0, 1.0f);
  cut.Next();
  cut.Advance(AudioFeatures{}, 0.1, 1.0f);
  EXPECT_FALSE(cut.blending());
  EXPECT_NEAR(cut.mesh()[0].u, U(0.8f), 1e-5);

  Visualizer v;
  v.Configure(Settings(3.0f));
  v.Advance(AudioFeatures{}, 0.0, 1.0f);
  v.Advance(Beat(), 4.0, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_FALSE(v.blending());

  v.Advance(AudioFeatures{}, 5.0, 1.0f);
  v.Previous();  // a key: blends back to a from this frame on
  v.Advance(AudioFeatures{}, 5.0, 1.0f);
  EXPECT_TRUE(v.blending());
  v.Advance(AudioFeatures{}, 6.5, 1.0f);
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.5f);
  v.Next();  // during the blend: a new one from the preset that was coming in
  v.Advance(AudioFeatures{}, 6.5, 1.0f);
  EXPECT_EQ(v.current_name(), "b");
  EXPECT_TRUE(v.blending());
  EXPECT_FLOAT_EQ(v.blend_weight(), 0.0f);
  EXPECT_NEAR(v.mesh()[0].u, U(1.25f), 1e-5);
}

}  // namespace
}  // namespace halvex::vis
