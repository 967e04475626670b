#include "vis/title_overlay.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "vis/stroke_font.h"

namespace halvex::vis {

namespace {

constexpr float kBaseHeight = 0.16f;
constexpr float kMaxWidth = 1.75f;  // clip units, so a long title keeps a margin
constexpr double kPopIn = 0.25;     // seconds of the pop-in
constexpr double kHold = 2.0;       // seconds over the picture
constexpr double kEnd = 6.0;        // seconds until the card is gone
constexpr int kArcSegments = 12;

// One stroke of a strip: entered and left through alpha-0 copies of its ends, so the segments
// that join it to its neighbours are invisible.
void AppendStroke(std::vector<TitlePoint>& out, const std::vector<TitlePoint>& stroke) {
  if (stroke.size() < 2) return;
  out.push_back({stroke.front().x, stroke.front().y, 0.0f});
  out.insert(out.end(), stroke.begin(), stroke.end());
  out.push_back({stroke.back().x, stroke.back().y, 0.0f});
}

// An arc of `radius` around the mark's centre from angle `from` to `to` (radians, in the mark's
// unit box, y down), mapped by `place`.
template <typename Place>
void AppendArc(std::vector<TitlePoint>& out, float radius, float from, float to, float alpha,
               const Place& place) {
  std::vector<TitlePoint> stroke;
  for (int i = 0; i <= kArcSegments; ++i) {
    const float angle = from + (to - from) * static_cast<float>(i) / kArcSegments;
    stroke.push_back(place(radius * std::cos(angle), radius * std::sin(angle), alpha));
  }
  AppendStroke(out, stroke);
}

}  // namespace

void TitleOverlay::Announce(const std::string& text, double t) {
  if (text.empty() || text == text_) return;
  text_ = text;
  since_ = t;
}

int TitleOverlay::Phase(double t) const {
  const double dt = t - since_;
  if (text_.empty() || dt < 0) return 0;
  if (dt < kHold) return 1;
  if (dt < kEnd) return 2;
  return 0;
}

float TitleOverlay::Height(double t) const {
  const double dt = t - since_;
  if (dt < kPopIn) return kBaseHeight * static_cast<float>(1.18 - 0.18 * 4.0 * dt);
  if (dt < kHold) return kBaseHeight;
  const double grow = std::clamp((dt - kHold) / (kEnd - kHold), 0.0, 1.0);
  return kBaseHeight * static_cast<float>(1.0 + 0.35 * grow);
}

float TitleOverlay::Alpha(double t) const {
  if (Phase(t) == 0) return 0.0f;
  const double dt = t - since_;
  if (dt < kHold) return 1.0f;
  const double fade = 1.0 - (dt - kHold) / (kEnd - kHold);
  return static_cast<float>(fade * fade);
}

std::vector<TitlePoint> TitleOverlay::Geometry(double t, float aspect) const {
  std::vector<TitlePoint> out;
  if (Phase(t) == 0) return out;
  const float alpha = Alpha(t);
  std::vector<TitlePoint> stroke;
  for (const Stroke& line : LayoutText(text_, 0.0f, 0.0f, Height(t), kMaxWidth, aspect)) {
    stroke.clear();
    for (const FontPoint& p : line) stroke.push_back({p.x, p.y, alpha});
    AppendStroke(out, stroke);
  }
  return out;
}

std::vector<TitlePoint> BrandMark(float y, float size, float alpha, float aspect) {
  std::vector<TitlePoint> out;
  if (alpha <= 0.0f || size <= 0.0f) return out;
  const float a = aspect > 0.01f ? aspect : 1.0f;
  const auto place = [&](float ux, float uy, float point_alpha) {
    return TitlePoint{ux * size / a, y + uy * size, point_alpha};
  };
  // A stem with two waves to either side, in a unit box about 0.7 tall.
  constexpr float kQuarter = std::numbers::pi_v<float> / 4.0f;
  constexpr float kPi = std::numbers::pi_v<float>;
  AppendStroke(out, {place(0.0f, -0.2f, alpha), place(0.0f, 0.2f, alpha)});
  for (const float radius : {0.25f, 0.45f}) {
    AppendArc(out, radius, -kQuarter, kQuarter, alpha, place);
    AppendArc(out, radius, kPi - kQuarter, kPi + kQuarter, alpha, place);
  }
  return out;
}

}  // namespace halvex::vis
