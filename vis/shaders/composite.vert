#version 450
// One triangle that covers the screen, made from the vertex index alone.
layout(location = 0) out vec2 out_uv;

void main() {
  const vec2 uv = vec2((gl_VertexIndex * 2) & 2, gl_VertexIndex & 2);
  gl_Position = vec4(uv * 2.0 - 1.0, 0.0, 1.0);
  out_uv = uv;
}
