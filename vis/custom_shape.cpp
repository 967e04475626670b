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

struct CustomShape::Placement {
  double x, y, rad, ang, tex_ang, tex_zoom, aspect;
  int sides;
  bool additive;
  float textured;
  float fade;
};

double CustomShape::Value(Slot slot) const { return Get(vars_, slots_[slot]); }

void CustomShape::RunFrameCode(const CustomFrame& frame) {
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
}

bool CustomShape::Place(const CustomFrame& frame, float fade, Placement& p) const {
  p.x = Value(kX);
  p.y = Value(kY);
  p.rad = Value(kRad);
  if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.rad) || p.rad <= 0.0) {
    return false;
  }
  const double sides_value = Value(kSides);
  p.sides = std::isnan(sides_value)
                ? kMinShapeSides
                : static_cast<int>(std::clamp(sides_value, double{kMinShapeSides},
                                              double{kMaxShapeSides}));
  p.ang = std::isfinite(Value(kAng)) ? Value(kAng) : 0.0;
  p.tex_ang = std::isfinite(Value(kTexAng)) ? Value(kTexAng) : 0.0;
  const double zoom = Value(kTexZoom);
  p.tex_zoom = std::isfinite(zoom) && std::abs(zoom) > 1e-3 ? zoom : 1.0;
  p.aspect = frame.aspect > 0.001f ? frame.aspect : 0.001;
  p.additive = Value(kAdditive) != 0.0;
  p.textured = Value(kTextured) != 0.0 ? 1.0f : 0.0f;
  p.fade = fade;
  return true;
}

ShapeVertex CustomShape::Corner(const Placement& p, int k) const {
  // Radius as a share of the picture's height; x is divided by the aspect so circles stay
  // round. The first corner sits at 45 degrees, so four sides make an upright square.
  const double theta = p.ang + std::numbers::pi / 4.0 + 2.0 * std::numbers::pi * k / p.sides;
  const double cx = 2.0 * (p.x + p.rad * std::cos(theta) / p.aspect) - 1.0;
  const double cy = 2.0 * (p.y + p.rad * std::sin(theta)) - 1.0;
  // The picture's middle, at the shape's size, turned and zoomed.
  const double t = theta + p.tex_ang;
  const double u = 0.5 + p.rad * std::cos(t) / p.aspect / p.tex_zoom;
  const double tv = 0.5 + p.rad * std::sin(t) / p.tex_zoom;
  return ShapeVertex{Unit(cx, -4.0f, 4.0f),  Unit(cy, -4.0f, 4.0f),  Unit(u, -4.0f, 4.0f),
                     Unit(tv, -4.0f, 4.0f),  Unit(Value(kR2)),       Unit(Value(kG2)),
                     Unit(Value(kB2)),       Unit(Value(kA2)) * p.fade, p.textured};
}

void CustomShape::AppendFill(const Placement& p, CustomDraws& draws) const {
  const ShapeVertex centre{Unit(2.0 * p.x - 1.0, -4.0f, 4.0f), Unit(2.0 * p.y - 1.0, -4.0f, 4.0f),
                           0.5f, 0.5f, Unit(Value(kR)), Unit(Value(kG)), Unit(Value(kB)),
                           Unit(Value(kA)) * p.fade, p.textured};
  DrawBatch fill;
  fill.kind = DrawKind::kTriangles;
  fill.additive = p.additive;
  fill.first = static_cast<uint32_t>(draws.shapes.size());
  ShapeVertex previous = Corner(p, 0);
  for (int k = 1; k <= p.sides; ++k) {
    const ShapeVertex next = Corner(p, k);
    draws.shapes.push_back(centre);
    draws.shapes.push_back(previous);
    draws.shapes.push_back(next);
    previous = next;
  }
  fill.count = static_cast<uint32_t>(3 * p.sides);
  draws.batches.push_back(fill);
}

void CustomShape::AppendOutline(const Placement& p, CustomDraws& draws) const {
  const float border_a = Unit(Value(kBorderA)) * p.fade;
  if (border_a <= 0.0f) return;
  DrawBatch outline;
  outline.kind = DrawKind::kLines;
  outline.additive = p.additive;
  outline.thick = Value(kThick) != 0.0;
  outline.first = static_cast<uint32_t>(draws.lines.size());
  const float br = Unit(Value(kBorderR));
  const float bg = Unit(Value(kBorderG));
  const float bb = Unit(Value(kBorderB));
  for (int k = 0; k <= p.sides; ++k) {
    const ShapeVertex corner = Corner(p, k);
    draws.lines.push_back(DrawVertex{corner.x, corner.y, br, bg, bb, border_a});
  }
  outline.count = static_cast<uint32_t>(p.sides + 1);
  draws.batches.push_back(outline);
}

void CustomShape::Draw(const CustomFrame& frame, float fade, CustomDraws& draws) {
  if (!spec_.enabled) return;
  RunFrameCode(frame);
  Placement p;
  if (!Place(frame, fade, p)) return;
  AppendFill(p, draws);
  AppendOutline(p, draws);
}

}  // namespace halvex::vis
