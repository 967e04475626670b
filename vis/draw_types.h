// The vertex and push-constant layouts that the visualizer fills and the renderer draws.
#pragma once

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
