// The vertex and push-constant layouts that the visualizer fills and the renderer draws.
#pragma once

#include <cstdint>
#include <vector>

namespace halvex::vis {

// One point of a line strip: clip-space position (x right, y down, -1..1) and its colour.
struct DrawVertex {
  float x = 0.0f;
  float y = 0.0f;
  float r = 0.0f;
  float g = 0.0f;
  float b = 0.0f;
  float a = 0.0f;
};
static_assert(sizeof(DrawVertex) == 24);

// One corner of a filled shape: clip-space position, where it samples the previous frame
// (0..1, as the warp mesh does), its colour, and how far the sample tints it (0 plain colour,
// 1 the picture times the colour).
struct ShapeVertex {
  float x = 0.0f;
  float y = 0.0f;
  float u = 0.0f;
  float v = 0.0f;
  float r = 0.0f;
  float g = 0.0f;
  float b = 0.0f;
  float a = 0.0f;
  float textured = 0.0f;
};
static_assert(sizeof(ShapeVertex) == 36);

enum class DrawKind : uint8_t {
  kLines,      // a line strip of DrawVertex
  kDots,       // each DrawVertex on its own
  kTriangles,  // a triangle list of ShapeVertex
};

// One draw call of the custom waves and shapes, in drawing order.
struct DrawBatch {
  DrawKind kind = DrawKind::kLines;
  bool additive = false;
  bool thick = false;  // about twice as wide
  uint32_t first = 0;  // into lines (kLines, kDots) or shapes (kTriangles)
  uint32_t count = 0;
};

// The custom waves and shapes of a frame, drawn into the feedback image after the warp and
// before the main wave.
struct CustomDraws {
  std::vector<DrawVertex> lines;
  std::vector<ShapeVertex> shapes;
  std::vector<DrawBatch> batches;

  void Clear() {
    lines.clear();
    shapes.clear();
    batches.clear();
  }
};

// The frame's effect values, pushed to the shaders as 48 bytes in this order.
struct FrameConstants {
  float decay = 0.98f;       // warp pass: the previous frame is multiplied by it
  float gamma = 1.0f;        // composite: colour multiplied by it
  float echo_zoom = 1.0f;    // composite: echo scale
  float echo_alpha = 0.0f;   // composite: echo mix, skipped when not above 0
  float echo_flip_x = 1.0f;  // 1 or -1
  float echo_flip_y = 1.0f;  // 1 or -1
  float reserved = 1.0f;     // always 1, read by no shader
  float effects = 0.0f;      // bits as a float: 1 invert, 2 brighten, 4 darken, 8 solarize
  float wave_r = 1.0f;       // the wave colour, for the title overlay
  float wave_g = 1.0f;
  float wave_b = 1.0f;
  float wave_a = 1.0f;
};
static_assert(sizeof(FrameConstants) == 48);

}  // namespace halvex::vis
