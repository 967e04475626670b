#version 450
// Filled custom shapes: corners in clip space with where they sample the previous frame.
layout(location = 0) in vec2 in_position;
layout(location = 1) in vec2 in_uv;
layout(location = 2) in vec4 in_colour;
layout(location = 3) in float in_textured;
layout(location = 0) out vec2 uv;
layout(location = 1) out vec4 colour;
layout(location = 2) out float textured;

void main() {
  gl_Position = vec4(in_position, 0.0, 1.0);
  uv = in_uv;
  colour = in_colour;
  textured = in_textured;
}
