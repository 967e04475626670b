#include "vis/vk_renderer.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "tests/vis/render/display.h"
#include "tests/vis/render/music.h"
#include "vis/draw_types.h"
#include "vis/mesh.h"
#include "vis/visualizer.h"
#include "vis/window.h"

namespace halvex::vis {
namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

struct Rgb {
  int r, g, b;
};

struct Frame {
  std::vector<uint8_t> rgba;
  uint32_t width = 0;
  uint32_t height = 0;

  Rgb At(int x, int y) const {
    const uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
    return {p[0], p[1], p[2]};
  }
};

// No motion, no effects: what is in the feedback image stays and reaches the screen as is.
FrameConstants Still(float decay = 1.0f) {
  FrameConstants c;
  c.decay = decay;
  c.gamma = 1.0f;
  c.echo_zoom = 1.0f;
  c.echo_alpha = 0.0f;
  c.effects = 0.0f;
  return c;
}

// The warp grid, every vertex fetching from its own position shifted by (du, dv).
std::vector<MeshVertex> Grid(float du = 0.0f, std::size_t columns = 48, std::size_t rows = 36,
                             float dv = 0.0f) {
  std::vector<MeshVertex> mesh;
  for (std::size_t j = 0; j < rows; ++j) {
    for (std::size_t i = 0; i < columns; ++i) {
      const float x = static_cast<float>(i) / static_cast<float>(columns - 1);
      const float y = static_cast<float>(j) / static_cast<float>(rows - 1);
      mesh.push_back({x, y, x + du, y + dv});
    }
  }
  return mesh;
}

// Clip coordinate of a pixel centre, so lines land on exactly one row or column.
float Centre(int pixel, int size) { return 2.0f * (pixel + 0.5f) / size - 1.0f; }

std::vector<DrawVertex> Row(int y, float r, float g, float b, float a = 1.0f) {
  const float cy = Centre(y, kHeight);
  return {{-1.0f, cy, r, g, b, a}, {1.0f, cy, r, g, b, a}};
}

std::vector<DrawVertex> Column(int x, float r, float g, float b, float a = 1.0f) {
  const float cx = Centre(x, kWidth);
  return {{cx, -1.0f, r, g, b, a}, {cx, 1.0f, r, g, b, a}};
}

void ExpectNear(Rgb actual, Rgb expected, const std::string& what, int tolerance = 2) {
  EXPECT_NEAR(actual.r, expected.r, tolerance) << what;
  EXPECT_NEAR(actual.g, expected.g, tolerance) << what;
  EXPECT_NEAR(actual.b, expected.b, tolerance) << what;
}

int Channel(float c) { return static_cast<int>(std::lround(std::clamp(c, 0.0f, 1.0f) * 255.0f)); }

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(window.Open("renderer test", width, height, false, error)) << error;
    renderer.SetRenderScale(render_scale);
    ASSERT_TRUE(renderer.Initialise(window, error)) << error;
    renderer.SetCapture(true);
  }

  // The validation layer reports nothing while drawing, nor when everything is destroyed.
  void TearDown() override {
    EXPECT_EQ(renderer.validation_reports(), 0u);
    ::testing::internal::CaptureStderr();
    renderer.Shutdown();
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.find("vulkan:"), std::string::npos) << said;
  }

  Frame Draw(const std::vector<DrawVertex>& waves, const FrameConstants& constants = Still(),
             const std::vector<DrawVertex>& overlay = {}, bool additive = false,
             const std::vector<MeshVertex>& mesh = Grid()) {
    EXPECT_TRUE(renderer.RenderFrame(mesh, 48, 36, waves, overlay, constants, additive));
    Frame frame;
    EXPECT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
    return frame;
  }

  int width = kWidth;
  int height = kHeight;
  float render_scale = 1.0f;  // pixel-exact checks need the feedback image at the window's size
  VisWindow window;
  VulkanRenderer renderer;
};

// A quarter of the pixels, for the tests that draw many frames on a software rasteriser.
class SmallRendererTest : public RendererTest {
 protected:
  void SetUp() override {
    width = kWidth / 2;
    height = kHeight / 2;
    render_scale = 0.0f;  // as the program draws: smaller on a software renderer
    RendererTest::SetUp();
  }
};

// These tests run twice: showing frames through shared memory, as on a software device with an
// X11 window, and with HALVEX_VIS_SHM=0 through the swapchain, as on a GPU.
TEST_F(RendererTest, StartsOnLavapipeWithClearedTrails) {
  EXPECT_NE(renderer.device_name().find("llvmpipe"), std::string::npos) << renderer.device_name();
  const char* shm = std::getenv("HALVEX_VIS_SHM");
  EXPECT_EQ(renderer.shared_memory_present(), shm == nullptr || std::string(shm) != "0");
  const Frame frame = Draw({});
  ASSERT_EQ(frame.width, static_cast<uint32_t>(kWidth));
  ASSERT_EQ(frame.height, static_cast<uint32_t>(kHeight));
  std::size_t lit = 0;
  for (std::size_t i = 0; i < frame.rgba.size(); i += 4) {
    lit += frame.rgba[i] != 0 || frame.rgba[i + 1] != 0 || frame.rgba[i + 2] != 0;
  }
  EXPECT_EQ(lit, 0u);
}

TEST_F(RendererTest, DecayDarkensTheTrailsEveryFrame) {
  const Frame drawn = Draw(Row(360, 1.0f, 1.0f, 1.0f), Still(0.5f));
  ExpectNear(drawn.At(640, 360), {255, 255, 255}, "drawn");
  ExpectNear(drawn.At(640, 300), {0, 0, 0}, "beside the wave");
  const Frame once = Draw({}, Still(0.5f));
  ExpectNear(once.At(640, 360), {128, 128, 128}, "one frame later");
  const Frame twice = Draw({}, Still(0.5f));
  ExpectNear(twice.At(640, 360), {64, 64, 64}, "two frames later");
}

TEST_F(RendererTest, CompositeEffectsChangeTheScreenNotTheTrails) {
  const float c[3] = {0.25f, 0.5f, 0.75f};
  const auto each = [&](auto f) { return Rgb{Channel(f(c[0])), Channel(f(c[1])), Channel(f(c[2]))}; };
  struct Case {
    const char* what;
    float effects;
    float gamma;
    Rgb background;
    Rgb wave;
  };
  const Case cases[] = {
      {"none", 0, 1, {0, 0, 0}, each([](float v) { return v; })},
      {"invert", 1, 1, {255, 255, 255}, each([](float v) { return 1 - v; })},
      {"brighten", 2, 1, {0, 0, 0}, each([](float v) { return std::sqrt(v); })},
      {"invert and brighten", 3, 1, {255, 255, 255}, each([](float v) { return std::sqrt(1 - v); })},
      {"darken", 4, 1, {0, 0, 0}, each([](float v) { return v * v; })},
      {"solarize", 8, 1, {0, 0, 0}, each([](float v) { return 1 - std::fabs(1 - 2 * v); })},
      {"gamma 2", 0, 2, {0, 0, 0}, each([](float v) { return 2 * v; })},
      {"negative gamma is black", 0, -1, {0, 0, 0}, {0, 0, 0}},
  };
  for (const Case& k : cases) {
    FrameConstants constants = Still(0.0f);  // decay 0: only this frame's wave is in the image
    constants.effects = k.effects;
    constants.gamma = k.gamma;
    const Frame frame = Draw(Row(200, c[0], c[1], c[2]), constants);
    ExpectNear(frame.At(640, 200), k.wave, std::string(k.what) + ": wave");
    ExpectNear(frame.At(640, 500), k.background, std::string(k.what) + ": background");
  }
  // The effects never fed back: the plain image still holds the last wave, undimmed.
  const Frame plain = Draw({}, Still());
  ExpectNear(plain.At(640, 200), each([](float v) { return v; }), "after the effects");
}

TEST_F(RendererTest, EchoMirrorsTheScreenWithoutFeedingBack) {
  Draw(Column(320, 1.0f, 1.0f, 1.0f));
  FrameConstants mirrored = Still();
  mirrored.echo_alpha = 1.0f;
  mirrored.echo_flip_x = -1.0f;
  const Frame echo = Draw({}, mirrored);
  ExpectNear(echo.At(kWidth - 1 - 320, 100), {255, 255, 255}, "mirrored column");
  ExpectNear(echo.At(320, 100), {0, 0, 0}, "original column under a full echo");
  mirrored.echo_alpha = 0.5f;
  const Frame half = Draw({}, mirrored);
  ExpectNear(half.At(kWidth - 1 - 320, 100), {128, 128, 128}, "half echo");
  ExpectNear(half.At(320, 100), {128, 128, 128}, "half original");
  const Frame plain = Draw({});
  ExpectNear(plain.At(320, 100), {255, 255, 255}, "trails untouched by the echo");
  ExpectNear(plain.At(kWidth - 1 - 320, 100), {0, 0, 0}, "no echo fed back");
}

TEST_F(RendererTest, OverlayIsDrawnOverTheFrameButNotIntoTheTrails) {
  const Frame with = Draw({}, Still(), Row(100, 1.0f, 0.0f, 0.0f));
  ExpectNear(with.At(640, 100), {255, 0, 0}, "overlay");
  const Frame without = Draw({});
  ExpectNear(without.At(640, 100), {0, 0, 0}, "next frame");
}

TEST_F(RendererTest, WarpMeshMovesThePicture) {
  Draw(Column(320, 0.0f, 1.0f, 0.0f));
  // Every point fetches from a quarter of the width to its left: the picture moves right.
  const Frame moved = Draw({}, Still(), {}, false, Grid(-0.25f));
  ExpectNear(moved.At(640, 360), {0, 255, 0}, "moved column");
  ExpectNear(moved.At(320, 360), {0, 0, 0}, "where it was");
}

TEST_F(RendererTest, AdditiveWavesAddWhereAlphaWavesCover) {
  // One strip that runs along a row and back over it: every pixel is drawn twice.
  const auto twice = [](float alpha) {
    std::vector<DrawVertex> strip = Row(400, 1.0f, 1.0f, 1.0f, alpha);
    strip.push_back(strip.front());
    return strip;
  };
  const Frame alpha = Draw(twice(0.5f), Still(0.0f));
  ExpectNear(alpha.At(640, 400), {191, 191, 191}, "alpha: 0.5 then 0.5 over it");
  const Frame additive = Draw(twice(0.5f), Still(0.0f), {}, true);
  ExpectNear(additive.At(640, 400), {255, 255, 255}, "additive: 0.5 + 0.5");
}

// A rectangle of two triangles in clip space; (u0, v0)-(u1, v1) is where a textured one
// samples the previous frame.
void Rectangle(CustomDraws& draws, float x0, float y0, float x1, float y1, float r, float g,
               float b, float textured = 0.0f, float u0 = 0.0f, float v0 = 0.0f,
               float u1 = 0.0f, float v1 = 0.0f) {
  DrawBatch batch;
  batch.kind = DrawKind::kTriangles;
  batch.first = static_cast<uint32_t>(draws.shapes.size());
  batch.count = 6;
  const ShapeVertex a{x0, y0, u0, v0, r, g, b, 1.0f, textured};
  const ShapeVertex c{x1, y1, u1, v1, r, g, b, 1.0f, textured};
  const ShapeVertex bv{x1, y0, u1, v0, r, g, b, 1.0f, textured};
  const ShapeVertex d{x0, y1, u0, v1, r, g, b, 1.0f, textured};
  for (const ShapeVertex& v : {a, bv, c, a, c, d}) draws.shapes.push_back(v);
  draws.batches.push_back(batch);
}

TEST_F(RendererTest, CustomShapesFillTexturedShapesShowTheLastFrameAndDotsLand) {
  Draw(Column(320, 0.0f, 1.0f, 0.0f));  // a green column in the trails
  CustomDraws custom;
  Rectangle(custom, 0.25f, -0.75f, 0.75f, -0.25f, 1.0f, 0.0f, 0.0f);
  // The right-hand rectangle shows the band around the column, white-tinted.
  Rectangle(custom, 0.25f, 0.25f, 0.75f, 0.75f, 1.0f, 1.0f, 1.0f, 1.0f, 0.2f, 0.2f, 0.3f, 0.8f);
  DrawBatch dots;
  dots.kind = DrawKind::kDots;
  dots.count = 1;
  dots.first = 0;
  custom.lines.push_back({Centre(100, kWidth), Centre(100, kHeight), 0.0f, 0.0f, 1.0f, 1.0f});
  custom.batches.push_back(dots);
  EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false, &custom));
  Frame frame;
  ASSERT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
  ExpectNear(frame.At(960, 180), {255, 0, 0}, "filled rectangle");
  ExpectNear(frame.At(400, 180), {0, 0, 0}, "beside it");
  ExpectNear(frame.At(100, 100), {0, 0, 255}, "dot");
  // u 0.2..0.3 over x 800..1120: the column at u = 0.25 lands half-way, near x = 960.
  int green = 0;
  for (int x = 900; x < 1020; ++x) green = std::max(green, frame.At(x, 540).g);
  EXPECT_GT(green, 200) << "the textured rectangle shows the column";
  ExpectNear(frame.At(820, 540), {0, 0, 0}, "textured, away from the column");
}

TEST_F(RendererTest, SmallerFeedbackChainIsStretchedToTheWholeWindow) {
  EXPECT_EQ(renderer.render_scale(), 1.0f);
  renderer.SetRenderScale(0.5f);
  ASSERT_TRUE(renderer.HandleResize());
  EXPECT_EQ(renderer.render_scale(), 0.5f);
  CustomDraws custom;
  Rectangle(custom, -1.0f, -1.0f, 0.0f, 1.0f, 1.0f, 0.5f, 0.0f);
  EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false, &custom));
  Frame frame;
  ASSERT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
  EXPECT_EQ(frame.width, static_cast<uint32_t>(kWidth));
  ExpectNear(frame.At(20, 20), {255, 128, 0}, "left half, top corner");
  ExpectNear(frame.At(600, 700), {255, 128, 0}, "left half, bottom");
  ExpectNear(frame.At(700, 360), {0, 0, 0}, "right half");

  // Automatic: smaller on this software device.
  renderer.SetRenderScale(0.0f);
  ASSERT_TRUE(renderer.HandleResize());
  EXPECT_EQ(renderer.render_scale(), VulkanRenderer::kCpuRenderScale);
}

// A smaller chain reaches the window by two roads (composited while stretched, or finished at
// its size first when the echo is on): both keep the effects and the echo.
TEST_F(RendererTest, SmallerFeedbackChainKeepsTheEffectsAndTheEcho) {
  renderer.SetRenderScale(0.5f);
  ASSERT_TRUE(renderer.HandleResize());
  CustomDraws custom;
  Rectangle(custom, -1.0f, -1.0f, -0.5f, 1.0f, 1.0f, 1.0f, 1.0f);  // the left quarter, white
  EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false, &custom));
  struct Case {
    const char* what;
    float effects;
    float echo_alpha;
    Rgb left;
    Rgb right;  // mirrored over the left quarter by a full echo
    Rgb middle;
  };
  const Case cases[] = {
      {"plain", 0, 0, {255, 255, 255}, {0, 0, 0}, {0, 0, 0}},
      {"invert", 1, 0, {0, 0, 0}, {255, 255, 255}, {255, 255, 255}},
      {"mirrored", 0, 1, {0, 0, 0}, {255, 255, 255}, {0, 0, 0}},
      {"mirrored and inverted", 1, 1, {255, 255, 255}, {0, 0, 0}, {255, 255, 255}},
  };
  for (const Case& k : cases) {
    FrameConstants constants = Still();
    constants.effects = k.effects;
    constants.echo_alpha = k.echo_alpha;
    constants.echo_flip_x = -1.0f;
    const Frame frame = Draw({}, constants);
    ASSERT_EQ(frame.width, static_cast<uint32_t>(kWidth));
    ExpectNear(frame.At(100, 360), k.left, std::string(k.what) + ": left quarter");
    ExpectNear(frame.At(kWidth - 101, 360), k.right, std::string(k.what) + ": right quarter");
    ExpectNear(frame.At(640, 100), k.middle, std::string(k.what) + ": middle");
  }
}

// A smaller chain draws the warp by interpolating the grid per pixel: every grid size must land
// where the mesh would, edges included (half a cell off would move them by tens of pixels).
TEST_F(RendererTest, SmallerFeedbackChainWarpsLikeTheMeshAtEveryGridSize) {
  renderer.SetRenderScale(0.5f);
  ASSERT_TRUE(renderer.HandleResize());
  for (const auto [columns, rows] : {std::array<std::size_t, 2>{48, 36}, {8, 8}, {96, 96},
                                     {17, 61}}) {
    const std::string what = std::to_string(columns) + "x" + std::to_string(rows) + ": ";
    CustomDraws custom;  // x 320..640, y 180..540, white, alone (decay 0)
    Rectangle(custom, -0.5f, -0.5f, 0.0f, 0.5f, 1.0f, 1.0f, 1.0f);
    const std::vector<MeshVertex> still = Grid(0.0f, columns, rows);
    ASSERT_TRUE(renderer.RenderFrame(still, columns, rows, {}, {}, Still(0.0f), false, &custom));
    // Fetching a quarter width left and an eighth height up: 320 right, 90 down.
    const std::vector<MeshVertex> shifted = Grid(-0.25f, columns, rows, -0.125f);
    ASSERT_TRUE(renderer.RenderFrame(shifted, columns, rows, {}, {}, Still(), false));
    Frame frame;
    ASSERT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
    ExpectNear(frame.At(800, 450), {255, 255, 255}, what + "moved band");
    ExpectNear(frame.At(480, 450), {0, 0, 0}, what + "where it was");
    for (const auto [x, y] : {std::array{628, 450}, {972, 450}, {800, 258}, {800, 642}}) {
      ExpectNear(frame.At(x, y), {0, 0, 0}, what + "outside at " + std::to_string(x) + "," +
                                                std::to_string(y));
    }
    for (const auto [x, y] : {std::array{652, 450}, {948, 450}, {800, 282}, {800, 618}}) {
      ExpectNear(frame.At(x, y), {255, 255, 255}, what + "inside at " + std::to_string(x) +
                                                      "," + std::to_string(y));
    }
  }
}

TEST_F(RendererTest, DrawsOnlyTheFirst65536WaveVertices) {
  std::vector<DrawVertex> waves;
  const float top = Centre(100, kHeight);
  for (std::size_t i = 0; i < VulkanRenderer::kLineVertexCapacity; ++i) {
    waves.push_back({(i % 2 == 0) ? -1.0f : -0.9f, top, 1.0f, 1.0f, 1.0f, 1.0f});
  }
  const float bottom = Centre(600, kHeight);
  for (int i = 0; i < 70000 - 65536; ++i) {
    waves.push_back({(i % 2 == 0) ? -1.0f : -0.9f, bottom, 1.0f, 1.0f, 1.0f, 1.0f});
  }
  const Frame frame = Draw(waves, Still(0.0f));
  ExpectNear(frame.At(20, 100), {255, 255, 255}, "within the capacity");
  ExpectNear(frame.At(20, 600), {0, 0, 0}, "beyond it");
}

TEST_F(RendererTest, SurvivesResizesAnnouncedOrNot) {
  Draw(Row(360, 1.0f, 1.0f, 1.0f));
  SDL_SetWindowSize(window.handle(), 640, 360);
  // Announced: the trails restart at the new size.
  bool resized = false;
  for (int i = 0; i < 200 && !resized; ++i) {
    for (WindowEvent e : window.Poll()) resized |= e == WindowEvent::Resized;
    if (!resized) SDL_Delay(10);
  }
  EXPECT_TRUE(resized);
  ASSERT_TRUE(renderer.HandleResize());
  Frame small = Draw(Row(90, 1.0f, 0.0f, 1.0f));
  ASSERT_EQ(small.width, 640u);
  ASSERT_EQ(small.height, 360u);
  // Row() places rows on a 720-line grid: row 90 of 720 is row 45 of 360.
  ExpectNear(small.At(320, 45), {255, 0, 255}, "drawn after the resize");
  ExpectNear(small.At(320, 180), {0, 0, 0}, "old trails gone");

  // Not announced yet: frames go on at the old size (or rebuild themselves when the driver
  // reports the swapchain out of date) until the event arrives.
  SDL_SetWindowSize(window.handle(), 800, 600);
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false));
  }
  resized = false;
  for (int i = 0; i < 200 && !resized; ++i) {
    for (WindowEvent e : window.Poll()) resized |= e == WindowEvent::Resized;
    if (!resized) SDL_Delay(10);
  }
  ASSERT_TRUE(renderer.HandleResize());
  // The last capture was taken at the smaller size: if it can still be read, then only as it
  // was (shared memory drops it with its picture).
  Frame stale;
  if (renderer.CapturedFrame(stale.rgba, stale.width, stale.height)) {
    EXPECT_EQ(stale.width, 640u);
    EXPECT_EQ(stale.rgba.size(), std::size_t{640} * 360 * 4);
  }
  const Frame larger = Draw({});
  EXPECT_EQ(larger.width, 800u);
  EXPECT_EQ(larger.height, 600u);
  EXPECT_FALSE(renderer.lost());
}

TEST_F(RendererTest, ZeroSizeDrawableSkipsFramesUntilItHasASize) {
  Draw(Row(360, 1.0f, 1.0f, 1.0f));
  renderer.OverrideDrawableSize(0, 0);  // what a minimised window reports on some systems
  ASSERT_TRUE(renderer.HandleResize());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, Row(100, 1, 0, 0), {}, Still(), false));
  }
  renderer.OverrideDrawableSize(-1, -1);
  // No resize event needed: the next frame rebuilds once there is a size again.
  EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false));
  const Frame back = Draw(Row(200, 0.0f, 0.0f, 1.0f));
  EXPECT_EQ(back.width, static_cast<uint32_t>(kWidth));
  ExpectNear(back.At(640, 200), {0, 0, 255}, "drawing again");
  ExpectNear(back.At(640, 360), {0, 0, 0}, "trails restarted");
  EXPECT_FALSE(renderer.lost());
}

TEST_F(RendererTest, TheScreenShowsWhatWasDrawn) {
  int x = 0;
  int y = 0;
  SDL_GetWindowPosition(window.handle(), &x, &y);
  Frame frame;
  for (int i = 0; i < 3; ++i) {  // a few presents so the server has the newest image
    frame = Draw(Column(100, 1.0f, 0.5f, 0.0f), Still(0.9f), Row(600, 0.0f, 1.0f, 1.0f));
  }
  std::string rgb;
  int width = 0;
  int height = 0;
  ASSERT_TRUE(halvex::test::ScreenshotRgb(halvex::test::ArtefactPath("screen.png"), rgb, width,
                                          height));
  const auto screen = [&](int px, int py) {
    const std::size_t i = (static_cast<std::size_t>(py + y) * width + px + x) * 3;
    return Rgb{static_cast<uint8_t>(rgb[i]), static_cast<uint8_t>(rgb[i + 1]),
               static_cast<uint8_t>(rgb[i + 2])};
  };
  for (const auto [px, py] : {std::array{100, 300}, {640, 600}, {640, 300}, {100, 600}}) {
    const Rgb expected = frame.At(px, py);
    ExpectNear(screen(px, py), expected, "screen at " + std::to_string(px) + "," +
                                             std::to_string(py), 1);
  }
}

// A window whose width no driver aligns rows to: the screen shows the frame exactly, every
// pixel of it (row pitch, channel order, the last row and column), also after a resize to
// another such size.
class OddSizeRendererTest : public RendererTest {
 protected:
  void SetUp() override {
    width = 1001;
    height = 333;
    RendererTest::SetUp();
  }

  // A picture with something in every column, drawn and then kept for two frames (no motion, no
  // decay) so that a screen a frame behind shows it too.
  Frame DrawStillPicture() {
    std::vector<DrawVertex> zigzag;
    for (int i = 0; i <= 400; ++i) {
      const float t = static_cast<float>(i) / 400.0f;
      zigzag.push_back({2.0f * t - 1.0f, i % 2 == 0 ? -1.0f : 1.0f, t, 1.0f - t, 0.5f, 1.0f});
    }
    Draw(zigzag);
    Draw({});
    return Draw({});
  }

  // Pixels of the window on the screen that differ from `frame`; `lit` counts the frame's
  // non-dark ones.
  std::size_t DifferingOnScreen(const Frame& frame, const std::string& png, std::size_t& lit) {
    int x = 0;
    int y = 0;
    SDL_GetWindowPosition(window.handle(), &x, &y);
    std::string rgb;
    int screen_width = 0;
    int screen_height = 0;
    if (!halvex::test::ScreenshotRgb(halvex::test::ArtefactPath(png), rgb, screen_width,
                                     screen_height) ||
        x + static_cast<int>(frame.width) > screen_width ||
        y + static_cast<int>(frame.height) > screen_height) {
      ADD_FAILURE() << "no screenshot holding the window";
      return frame.rgba.size();
    }
    std::size_t differing = 0;
    lit = 0;
    for (int py = 0; py < static_cast<int>(frame.height); ++py) {
      for (int px = 0; px < static_cast<int>(frame.width); ++px) {
        const Rgb want = frame.At(px, py);
        const std::size_t i = (static_cast<std::size_t>(py + y) * screen_width + px + x) * 3;
        const Rgb got{static_cast<uint8_t>(rgb[i]), static_cast<uint8_t>(rgb[i + 1]),
                      static_cast<uint8_t>(rgb[i + 2])};
        lit += want.r + want.g + want.b > 30;
        differing += std::abs(got.r - want.r) > 1 || std::abs(got.g - want.g) > 1 ||
                     std::abs(got.b - want.b) > 1;
      }
    }
    return differing;
  }
};

TEST_F(OddSizeRendererTest, TheScreenShowsEveryPixelOfTheFrame) {
  Frame frame = DrawStillPicture();
  ASSERT_EQ(frame.width, 1001u);
  ASSERT_EQ(frame.height, 333u);
  std::size_t lit = 0;
  EXPECT_EQ(DifferingOnScreen(frame, "odd-size.png", lit), 0u);
  EXPECT_GT(lit, 1001u * 333u / 10) << "too little drawn to compare";

  SDL_SetWindowSize(window.handle(), 777, 555);
  bool resized = false;
  for (int i = 0; i < 200 && !resized; ++i) {
    for (WindowEvent e : window.Poll()) resized |= e == WindowEvent::Resized;
    if (!resized) SDL_Delay(10);
  }
  ASSERT_TRUE(resized);
  ASSERT_TRUE(renderer.HandleResize());
  frame = DrawStillPicture();
  ASSERT_EQ(frame.width, 777u);
  ASSERT_EQ(frame.height, 555u);
  EXPECT_EQ(DifferingOnScreen(frame, "odd-size-resized.png", lit), 0u);
  EXPECT_GT(lit, 777u * 555u / 10) << "too little drawn to compare";
}

// Every preset of ours and the built-in one, 24 frames each: the screen shows something, and
// the validation layer (checked at tear-down) has nothing to say. Screenshots are kept.
TEST_F(SmallRendererTest, DrawsTheBuiltInPresetAndEveryPresetOfOurs) {
  VisualizerSettings settings;
  settings.fallback_dirs.clear();
  settings.preset_dir = HALVEX_SOURCE_DIR "/vis/presets";
  Visualizer visualizer;
  visualizer.Configure(settings);
  ASSERT_GE(visualizer.library_size(), 13u);
  for (std::size_t index = 0; index <= visualizer.library_size(); ++index) {
    if (index == visualizer.library_size()) {
      settings.preset_dir = halvex::test::ArtefactPath("no-presets-here");
      visualizer.Configure(settings);
    } else {
      ASSERT_TRUE(visualizer.LoadIndex(index));
    }
    const std::string name = visualizer.current_name();
    for (int frame = 0; frame < 24; ++frame) {
      visualizer.Advance(Music(frame), frame / 60.0, 16.0f / 9.0f);
      ASSERT_TRUE(renderer.RenderFrame(visualizer.mesh(), visualizer.columns(), visualizer.rows(),
                                       visualizer.waves(), {}, visualizer.Constants(),
                                       visualizer.additive_waves(), &visualizer.custom_draws()))
          << name;
    }
    Frame frame;
    ASSERT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
    std::size_t lit = 0;
    for (std::size_t i = 0; i < frame.rgba.size(); i += 4) {
      lit += frame.rgba[i] + frame.rgba[i + 1] + frame.rgba[i + 2] > 30;
    }
    EXPECT_GT(lit, frame.rgba.size() / 4 / 200) << name << ": under 0.5% of the screen is lit";
    std::string file = "preset " + name + ".png";
    std::replace(file.begin(), file.end(), ' ', '_');
    EXPECT_TRUE(halvex::test::Screenshot(halvex::test::ArtefactPath(file)));
  }
  EXPECT_EQ(visualizer.current_name(), "built-in");
}

// Half-way through a blend of two presets of ours both draw, without a word from the
// validation layer (checked at tear-down). The screenshot is kept.
TEST_F(SmallRendererTest, BlendsBetweenPresetsOfOurs) {
  VisualizerSettings settings;
  settings.fallback_dirs.clear();
  settings.preset_dir = HALVEX_SOURCE_DIR "/vis/presets";
  settings.blend_time = 1.0f;
  Visualizer visualizer;
  visualizer.Configure(settings);
  bool seen_blend = false;
  for (int frame = 0; frame < 60; ++frame) {
    if (frame == 20) visualizer.Next();
    visualizer.Advance(Music(frame), frame / 60.0, 16.0f / 9.0f);
    seen_blend = seen_blend || visualizer.blending();
    ASSERT_TRUE(renderer.RenderFrame(visualizer.mesh(), visualizer.columns(), visualizer.rows(),
                                     visualizer.waves(), {}, visualizer.Constants(),
                                     visualizer.additive_waves(), &visualizer.custom_draws()));
    if (frame == 50) {
      EXPECT_TRUE(halvex::test::Screenshot(halvex::test::ArtefactPath("blend.png")));
    }
  }
  EXPECT_TRUE(seen_blend);
  EXPECT_TRUE(visualizer.blending());  // 40 frames of a 60-frame blend
}

// A preset with waves and textured shapes, 240 frames prepared while the device still draws
// the one before, ends on exactly the picture of the same frames drawn one at a time (each
// read back before the next starts), with synchronisation validation on (display.cpp): no
// frame's buffers are reused while the device reads them, and each frame warps its
// predecessor.
TEST_F(SmallRendererTest, FramesInFlightDrawWhatFramesOneAtATimeDraw) {
  const auto run = [&](bool one_at_a_time) {
    VisualizerSettings settings;
    settings.fallback_dirs.clear();
    settings.preset_dir = HALVEX_SOURCE_DIR "/vis/presets";
    Visualizer visualizer;
    visualizer.Configure(settings);
    for (std::size_t i = 0; i < visualizer.library_size(); ++i) {
      if (visualizer.LoadIndex(i) && visualizer.current_name() == "Halvex - Mirror Lens") break;
    }
    EXPECT_EQ(visualizer.current_name(), "Halvex - Mirror Lens");
    EXPECT_TRUE(renderer.HandleResize());  // the trails restart
    Frame frame;
    for (int n = 0; n < 240; ++n) {
      visualizer.Advance(Music(n), n / 60.0, 16.0f / 9.0f);
      EXPECT_TRUE(renderer.RenderFrame(visualizer.mesh(), visualizer.columns(), visualizer.rows(),
                                       visualizer.waves(), {}, visualizer.Constants(),
                                       visualizer.additive_waves(), &visualizer.custom_draws()));
      if (one_at_a_time || n == 239) {
        EXPECT_TRUE(renderer.CapturedFrame(frame.rgba, frame.width, frame.height));
      }
    }
    return frame;
  };
  const Frame overlapped = run(false);
  const Frame serial = run(true);
  ASSERT_EQ(overlapped.rgba.size(), serial.rgba.size());
  std::size_t lit = 0;
  for (std::size_t i = 0; i < serial.rgba.size(); i += 4) {
    lit += serial.rgba[i] + serial.rgba[i + 1] + serial.rgba[i + 2] > 30;
  }
  EXPECT_GT(lit, serial.rgba.size() / 4 / 20) << "too little drawn to compare";
  EXPECT_TRUE(overlapped.rgba == serial.rgba);
}

// A small window that draws one frame and then vanishes under the renderer (its X window
// destroyed by someone else).
class RendererLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    halvex::test::IgnoreXErrors();  // SDL's own teardown will meet the missing window
    std::string error;
    ASSERT_TRUE(window.Open("doomed", 320, 240, false, error)) << error;
    ASSERT_TRUE(renderer.Initialise(window, error)) << error;
    EXPECT_TRUE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false));
    EXPECT_EQ(renderer.rebuild_error(), "");
    ASSERT_TRUE(halvex::test::DestroyXWindowOf(window.handle()));
  }

  VisWindow window;
  VulkanRenderer renderer;
};

// The next frame finds the surface lost and says so, and every later frame or rebuild is
// refused.
TEST_F(RendererLoss, LostSurfaceIsReportedAndStopsDrawing) {
  EXPECT_FALSE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false));
  EXPECT_TRUE(renderer.lost());
  EXPECT_EQ(renderer.lost_reason(), "the window's Vulkan surface was lost");
  EXPECT_FALSE(renderer.HandleResize());
  EXPECT_FALSE(renderer.RenderFrame(Grid(), 48, 36, {}, {}, Still(), false));
}

// A rebuild fails at its first step and says which and why, once, instead of the failure
// vanishing behind a false return.
TEST_F(RendererLoss, FailedRebuildSaysWhichStepFailedAndWhy) {
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(renderer.HandleResize());
  EXPECT_FALSE(renderer.HandleResize());
  const std::string said = ::testing::internal::GetCapturedStderr();
  const std::string expected =
      "cannot read the surface's capabilities: VK_ERROR_SURFACE_LOST_KHR";
  EXPECT_EQ(renderer.rebuild_error(), expected);
  EXPECT_EQ(said, "halvex-vis: " + expected + "\n");
  EXPECT_EQ(renderer.lost_reason(), "the window's Vulkan surface was lost");
}

TEST(RendererStart, MissingValidationLayerIsOnlyAWarning) {
  const std::string empty = halvex::test::ArtefactPath("no-layers");
  std::filesystem::create_directories(empty);
  setenv("VK_LAYER_PATH", empty.c_str(), 1);
  VisWindow window;
  VulkanRenderer renderer;
  std::string error;
  ASSERT_TRUE(window.Open("no layers", 320, 240, false, error)) << error;
  ::testing::internal::CaptureStderr();
  const bool started = renderer.Initialise(window, error);
  const std::string said = ::testing::internal::GetCapturedStderr();
  unsetenv("VK_LAYER_PATH");
  EXPECT_TRUE(started) << error;
  EXPECT_NE(said.find("halvex-vis: HALVEX_VIS_VALIDATE is set but VK_LAYER_KHRONOS_validation is "
                      "not installed; running without validation\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("halvex-vis: rendering on llvmpipe"), std::string::npos) << said;
}

TEST(RendererStart, FailsWholeWithoutAWindowAndRefusesFrames) {
  VisWindow window;  // never opened: no extensions, no surface
  VulkanRenderer renderer;
  std::string error;
  EXPECT_FALSE(renderer.Initialise(window, error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(renderer.RenderFrame({}, 0, 0, {}, {}, FrameConstants{}, false));
  EXPECT_FALSE(renderer.HandleResize());
  EXPECT_EQ(renderer.device_name(), "");
}

}  // namespace
}  // namespace halvex::vis
