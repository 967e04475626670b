#version 450
// The warp as one triangle over the feedback image: each pixel finds where it samples the
// previous frame between the four grid points around it.
layout(push_constant) uniform Constants {
  layout(offset = 48) vec2 grid_span;  // columns - 1, rows - 1
} constants;
layout(location = 0) out vec2 out_grid;

const float kGridSide = 96.0;  // the grid image's side; the grid fills its top-left corner

void main() {
  const vec2 position = vec2((gl_VertexIndex * 2) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(position * 2.0 - 1.0, 0.0, 1.0);
  // Grid point (i, j) sits at position (i, j) / span, its texel's centre at (i, j) + 0.5.
  out_grid = (position * constants.grid_span + 0.5) / kGridSide;
}
