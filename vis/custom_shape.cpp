#include "vis/custom_shape.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace halvex::vis {

namespace {

constexpr std::array<const char*, CustomShape::kSlotCount> kNames = {
    "x",  "y",  "rad", "ang", "sides", "textured", "additive", "thickoutline", "tex_ang",
    "tex_zoom", "r", "g", "b", "a", "r2", "g2", "b2", "a2", "border_r", "border_g", "border_b",
    "border_a"};

double Get(const std::vector<double>& vars, size_t slot) {
  return slot < vars.size() ? vars[slot] : 0.0;
}

}  // namespace

bool CustomShape::Load(const CustomShapeSpec& desc, size_t index, std::string& error,
                       std::vector<std::string>& notes) {
  spec_ = desc;
  table_.Clear();
  init_.Clear();
  frame_.Clear();
  vars_.clear();
  if (!spec_.enabled) return true;
  shared_.Bind(table_);
  for (size_t i = 0; i < kSlotCount; ++i) slots_[i] = table_.Slot(kNames[i]);
  const std::string what = "shape " + std::to_string(index);
  if (!CompileCustom(spec_.init, what + " init", table_, init_, error, notes) ||
      !CompileCustom(spec_.per_frame, what + " per_frame", table_, frame_, error, notes)) {
    spec_.enabled = false;
    return false;
  }
  vars_.assign(table_.size(), 0.0);
  init_.Run(vars_);
  shared_.KeepT(vars_);
  return true;
}

void CustomShape::Draw(const CustomFrame& frame, float fade, CustomDraws& draws) {
  if (!spec_.enabled) return;
  shared_.Seed(frame, vars_);
  const CustomShapeSpec& s = spec_;
  const std::array<double, kSlotCount> start = {
      s.x,  s.y,  s.rad, s.ang, static_cast<double>(s.sides), s.textured ? 1.0 : 0.0,
      s.additive ? 1.0 : 0.0, s.thick ? 1.0 : 0.0, s.tex_ang, s.tex_zoom, s.r, s.g, s.b, s.a,
      s.r2, s.g2, s.b2, s.a2, s.border_r, s.border_g, s.border_b, s.border_a};
  for (size_t i = 0; i < kSlotCount; ++i) {
    if (slots_[i] < vars_.size()) vars_[slots_[i]] = start[i];
  }
  frame_.Run(vars_);

  const auto v = [&](Slot slot) { return Get(vars_, slots_[slot]); };
  const double x = v(kX);
  const double y = v(kY);
  const double rad = v(kRad);
  if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(rad) || rad <= 0.0) return;
  const double sides_value = v(kSides);
  const int sides = std::isnan(sides_value)
                        ? kMinShapeSides
                        : static_cast<int>(std::clamp(sides_value, double{kMinShapeSides},
                                                      double{kMaxShapeSides}));
  const double ang = std::isfinite(v(kAng)) ? v(kAng) : 0.0;
  const double tex_ang = std::isfinite(v(kTexAng)) ? v(kTexAng) : 0.0;
  const double zoom = v(kTexZoom);
  const double tex_zoom = std::isfinite(zoom) && std::abs(zoom) > 1e-3 ? zoom : 1.0;
  const double aspect = frame.aspect > 0.001f ? frame.aspect : 0.001;
  const bool additive = v(kAdditive) != 0.0;
  const float textured = v(kTextured) != 0.0 ? 1.0f : 0.0f;

  // Radius as a share of the picture's height; x is divided by the aspect so circles stay
  // round. The first corner sits at 45 degrees, so four sides make an upright square.
  const auto corner = [&](int k, double& cx, double& cy, double& u, double& tv) {
    const double theta = ang + std::numbers::pi / 4.0 + 2.0 * std::numbers::pi * k / sides;
    cx = 2.0 * (x + rad * std::cos(theta) / aspect) - 1.0;
    cy = 2.0 * (y + rad * std::sin(theta)) - 1.0;
    // The picture's middle, at the shape's size, turned and zoomed.
    const double t = theta + tex_ang;
    u = 0.5 + rad * std::cos(t) / aspect / tex_zoom;
    tv = 0.5 + rad * std::sin(t) / tex_zoom;
  };
  const ShapeVertex centre{Unit(2.0 * x - 1.0, -4.0f, 4.0f), Unit(2.0 * y - 1.0, -4.0f, 4.0f),
                           0.5f, 0.5f, Unit(v(kR)), Unit(v(kG)), Unit(v(kB)),
                           Unit(v(kA)) * fade, textured};
  const auto edge = [&](int k) {
    double cx, cy, u, tv;
    corner(k, cx, cy, u, tv);
    return ShapeVertex{Unit(cx, -4.0f, 4.0f), Unit(cy, -4.0f, 4.0f), Unit(u, -4.0f, 4.0f),
                       Unit(tv, -4.0f, 4.0f), Unit(v(kR2)), Unit(v(kG2)), Unit(v(kB2)),
                       Unit(v(kA2)) * fade, textured};
  };

  DrawBatch fill;
  fill.kind = DrawKind::kTriangles;
  fill.additive = additive;
  fill.first = static_cast<uint32_t>(draws.shapes.size());
  ShapeVertex previous = edge(0);
  for (int k = 1; k <= sides; ++k) {
    const ShapeVertex next = edge(k);
    draws.shapes.push_back(centre);
    draws.shapes.push_back(previous);
    draws.shapes.push_back(next);
    previous = next;
  }
  fill.count = static_cast<uint32_t>(3 * sides);
  draws.batches.push_back(fill);

  const float border_a = Unit(v(kBorderA)) * fade;
  if (border_a <= 0.0f) return;
  DrawBatch outline;
  outline.kind = DrawKind::kLines;
  outline.additive = additive;
  outline.thick = v(kThick) != 0.0;
  outline.first = static_cast<uint32_t>(draws.lines.size());
  const float br = Unit(v(kBorderR));
  const float bg = Unit(v(kBorderG));
  const float bb = Unit(v(kBorderB));
  for (int k = 0; k <= sides; ++k) {
    const ShapeVertex p = edge(k);
    draws.lines.push_back(DrawVertex{p.x, p.y, br, bg, bb, border_a});
  }
  outline.count = static_cast<uint32_t>(sides + 1);
  draws.batches.push_back(outline);
}

}  // namespace halvex::vis
