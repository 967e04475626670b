#version 450
// The new frame to the screen with video echo, gamma and the colour effects, none of which
// feed back into the trails.
layout(set = 0, binding = 0) uniform sampler2D frame;
layout(push_constant) uniform Constants {
  float decay;
  float gamma;
  float echo_zoom;
  float echo_alpha;
  float echo_flip_x;
  float echo_flip_y;
  float unused;
  float effects;  // bits as a float: 1 invert, 2 brighten, 4 darken, 8 solarize
} constants;
// False in the pipelines for frames without echo or without effects: a software rasteriser
// runs both sides of a branch, so code that changes nothing would still cost every pixel.
layout(constant_id = 0) const bool kEcho = true;
layout(constant_id = 1) const bool kEffects = true;
layout(location = 0) in vec2 uv;
layout(location = 0) out vec4 colour;

bool Bit(float field, float weight) { return mod(floor(field / weight), 2.0) >= 1.0; }

void main() {
  vec3 c = texture(frame, uv).rgb;
  if (kEcho && constants.echo_alpha > 0.0) {
    vec2 p = (uv - 0.5) / max(constants.echo_zoom, 0.001);
    p *= vec2(constants.echo_flip_x, constants.echo_flip_y);
    const vec3 echo = texture(frame, p + 0.5).rgb;
    c = mix(c, echo, clamp(constants.echo_alpha, 0.0, 1.0));
  }
  c *= max(constants.gamma, 0.0);
  if (kEffects) {
    const float f = constants.effects;
    if (Bit(f, 1.0)) c = 1.0 - c;
    if (Bit(f, 2.0)) c = sqrt(clamp(c, 0.0, 1.0));
    if (Bit(f, 4.0)) c = c * c;
    if (Bit(f, 8.0)) c = 1.0 - abs(1.0 - 2.0 * clamp(c, 0.0, 1.0));
  }
  colour = vec4(clamp(c, 0.0, 1.0), 1.0);
}
