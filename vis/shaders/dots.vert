#version 450
// Custom waves drawn as dots: the point size travels in the push constants' spare slot.
layout(location = 0) in vec2 in_position;
layout(location = 1) in vec4 in_colour;
layout(push_constant) uniform Constants {
  layout(offset = 24) float point_size;
} constants;
layout(location = 0) out vec4 out_colour;

void main() {
  gl_Position = vec4(in_position, 0.0, 1.0);
  gl_PointSize = constants.point_size;
  out_colour = in_colour;
}
