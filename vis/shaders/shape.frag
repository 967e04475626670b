#version 450
// A textured shape shows the previous frame tinted by its colour; others show the colour.
layout(set = 0, binding = 0) uniform sampler2D previous_frame;
layout(location = 0) in vec2 uv;
layout(location = 1) in vec4 colour;
layout(location = 2) in float textured;
layout(location = 0) out vec4 out_colour;

void main() {
  const vec4 picture = vec4(texture(previous_frame, uv).rgb, 1.0);
  out_colour = colour * mix(vec4(1.0), picture, textured);
}
