#version 450
layout(set = 0, binding = 0) uniform sampler2D previous_frame;
layout(set = 1, binding = 0) uniform sampler2D warp_grid;
layout(push_constant) uniform Constants {
  float decay;
} constants;
layout(location = 0) in vec2 grid;
layout(location = 0) out vec4 colour;

void main() {
  colour = texture(previous_frame, texture(warp_grid, grid).xy) * constants.decay;
}
