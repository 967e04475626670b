#version 450
// The finished picture, drawn at the feedback size, stretched to the window. Kept to a bare
// fetch so that software rasterisers take their fast path.
layout(set = 0, binding = 0) uniform sampler2D picture;
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;

void main() {
  colour = texture(picture, uv);
}
