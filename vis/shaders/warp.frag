#version 450
layout(set = 0, binding = 0) uniform sampler2D previous_frame;
layout(push_constant) uniform Constants {
  float decay;
} constants;
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;

void main() {
  colour = texture(previous_frame, uv) * constants.decay;
}
