#include "vis/mesh.h"

#include <algorithm>
#include <cmath>

#include "vis/number_conversion.h"

namespace halvex::vis {

const char* const MeshEvaluator::kBoundNames[kBoundCount] = {
    "zoom",     "rot",    "warp",     "cx",        "cy",        "dx",          "dy",
    "sx",       "sy",     "decay",    "x",         "y",         "rad",         "ang",
    "time",     "frame",  "fps",      "bass",      "mid",       "treb",        "bass_att",
    "mid_att",  "treb_att", "gamma",  "echo_zoom", "echo_alpha", "echo_orient", "wave_r",
    "wave_g",   "wave_b", "wave_a",   "wave_x",    "wave_y",    "wave_mode"};

namespace {

constexpr double kFramesPerSecond = 60.0;  // what presets are told, whatever the real rate
constexpr double kWarpScale = 0.0035;

double WarpBracket(double sin_term, double cos_term) {
  // Rounded to float before it meets the warp amount.
  return static_cast<double>(static_cast<float>(kWarpScale * (sin_term + cos_term)));
}

// The warp brackets at (x, y) for time t, computed without the per-column and per-row tables.
void DirectWarp(double x, double y, double t, double& warp_x, double& warp_y) {
  warp_x = WarpBracket(std::sin(13.0 * x + 0.33 * t), std::cos(7.0 * y - 0.21 * t));
  warp_y = WarpBracket(std::sin(13.0 * y + 0.33 * t), std::cos(7.0 * x - 0.21 * t));
}

}  // namespace

void MeshEvaluator::SetGrid(size_t columns, size_t rows) {
  columns_ = std::clamp(columns, kMinGrid, kMaxGrid);
  rows_ = std::clamp(rows, kMinGrid, kMaxGrid);
}

void MeshEvaluator::BindNames() {
  for (size_t i = 0; i < kBoundCount; ++i) slots_[i] = table_.Slot(kBoundNames[i]);
}

bool MeshEvaluator::Load(const Preset& preset, std::string& error) {
  table_.Clear();
  notes_ = preset.notes;
  params_ = preset;
  BindNames();
  const CompileResult results[3] = {init_program_.Compile(preset.per_frame_init, table_),
                                    frame_program_.Compile(preset.per_frame, table_),
                                    vertex_program_.Compile(preset.per_pixel, table_)};
  for (const CompileResult& result : results) {
    if (!result.ok) {
      error = result.error;
      return false;
    }
    for (const std::string& note : result.notes) {
      const std::string line = "unsupported construct: " + note;
      if (std::find(notes_.begin(), notes_.end(), line) == notes_.end()) notes_.push_back(line);
    }
  }
  for (size_t i = 0; i < q_slots_.size(); ++i) {
    q_slots_[i] = table_.Find("q" + std::to_string(i + 1));
  }
  vars_.assign(table_.size(), 0.0);
  frame_vars_.assign(table_.size(), 0.0);
  is_lane_.assign(table_.size(), 0);
  lane_slots_.clear();
  const auto mark = [&](size_t slot) {
    if (slot < is_lane_.size() && !is_lane_[slot]) {
      is_lane_[slot] = 1;
      lane_slots_.push_back(static_cast<uint32_t>(slot));
    }
  };
  for (Bound b : {kX, kY, kRad, kAng}) mark(slots_[b]);
  for (uint32_t slot : vertex_program_.stored_slots()) mark(slot);
  lanes_.assign(table_.size() * Program::kBatchSize, 0.0);
  batch_stack_.assign(Program::kStackSize * Program::kBatchSize, 0.0);
  init_program_.Run(vars_);
  return true;
}

std::array<double, 8> MeshEvaluator::q() const {
  std::array<double, 8> values{};
  for (size_t i = 0; i < values.size(); ++i) {
    if (q_slots_[i] < frame_vars_.size()) values[i] = frame_vars_[q_slots_[i]];
  }
  return values;
}

double MeshEvaluator::Var(size_t bound, double missing) const {
  const size_t slot = slots_[bound];
  return slot < vars_.size() ? vars_[slot] : missing;
}

void MeshEvaluator::SeedFrameVariables(const AudioFeatures& features, double time,
                                       int64_t frame) {
  const PresetParams& p = params_;
  const double seeds[][2] = {
      {kZoom, p.zoom},
      {kRot, p.rot},
      {kWarp, p.warp},
      {kCx, p.cx},
      {kCy, p.cy},
      {kDx, p.dx},
      {kDy, p.dy},
      {kSx, p.sx},
      {kSy, p.sy},
      {kDecay, p.decay},
      {kTime, time},
      {kFrame, static_cast<double>(frame)},
      {kFps, kFramesPerSecond},
      {kBass, features.bass},
      {kMid, features.mid},
      {kTreb, features.treb},
      {kBassAtt, features.bass_att},
      {kMidAtt, features.mid_att},
      {kTrebAtt, features.treb_att},
      {kGamma, p.gamma},
      {kEchoZoom, p.echo_zoom},
      {kEchoAlpha, p.echo_alpha},
      {kEchoOrient, static_cast<double>(p.echo_orientation)},
      {kWaveR, p.wave_r},
      {kWaveG, p.wave_g},
      {kWaveB, p.wave_b},
      {kWaveA, p.wave_a},
      {kWaveX, p.wave_x},
      {kWaveY, p.wave_y},
      {kWaveMode, static_cast<double>(p.wave_mode)},
  };
  for (const auto& [bound, value] : seeds) {
    const size_t slot = slots_[static_cast<size_t>(bound)];
    if (slot < vars_.size()) vars_[slot] = value;
  }
}

void MeshEvaluator::ReadMotion() {
  FrameState& s = frame_state_;
  s.decay = NarrowToFloat(Var(kDecay, 0.0));
  s.gamma = NarrowToFloat(Var(kGamma, 0.0));
  s.echo_zoom = NarrowToFloat(Var(kEchoZoom, 0.0));
  s.echo_alpha = NarrowToFloat(Var(kEchoAlpha, 0.0));
  s.echo_orientation = SaturatingInt32(Var(kEchoOrient, 0.0));
  s.wave_r = NarrowToFloat(Var(kWaveR, 0.0));
  s.wave_g = NarrowToFloat(Var(kWaveG, 0.0));
  s.wave_b = NarrowToFloat(Var(kWaveB, 0.0));
  s.wave_a = NarrowToFloat(Var(kWaveA, 0.0));
  s.wave_x = NarrowToFloat(Var(kWaveX, 0.0));
  s.wave_y = NarrowToFloat(Var(kWaveY, 0.0));
  s.wave_mode = SaturatingInt32(Var(kWaveMode, 0.0));
  s.additive_waves = params_.additive_waves;
  s.invert = params_.invert;
  s.brighten = params_.brighten;
  s.darken = params_.darken;
  s.solarize = params_.solarize;
}

MeshVertex MeshEvaluator::Place(float x, float y, double u, double v, double cx, double cy,
                                double a, double warp_x, double warp_y, const Motion& m,
                                double& last_rot, double& cos_rot, double& sin_rot) {
  const double zoom = m.zoom == 0.0 ? 1.0 : m.zoom;
  const double zx = m.sx == 0.0 ? zoom : zoom * m.sx;
  const double zy = m.sy == 0.0 ? zoom : zoom * m.sy;
  const double px = u / zx;
  const double py = v / zy;
  // Neighbouring vertices usually share the rotation.
  if (!(m.rot == last_rot)) {
    last_rot = m.rot;
    sincos(m.rot, &sin_rot, &cos_rot);  // one call for both
  }
  double qx = px * cos_rot - py * sin_rot;
  double qy = px * sin_rot + py * cos_rot;
  qx += warp_x * m.warp;
  qy += warp_y * m.warp;
  qx -= m.dx;
  qy -= m.dy;
  return MeshVertex{x, y, NarrowToFloat(qx + cx), NarrowToFloat(qy * a + cy)};
}

MeshVertex MeshEvaluator::Finish(float x, float y, double u, double v, double cx, double cy,
                                 double a, double warp_x, double warp_y) const {
  const Motion m{Var(kZoom, 1.0), Var(kSx, 0.0),   Var(kSy, 0.0), Var(kRot, 0.0),
                 Var(kWarp, 0.0), Var(kDx, 0.0), Var(kDy, 0.0)};
  double last_rot = 0.0, cos_rot = 1.0, sin_rot = 0.0;
  return Place(x, y, u, v, cx, cy, a, warp_x, warp_y, m, last_rot, cos_rot, sin_rot);
}

// Inline: it sits in the loop over every vertex.
inline void MeshEvaluator::Warp(size_t i, size_t j, float x, float y, double t, double frame_time,
                                double& warp_x, double& warp_y) const {
  if (t == frame_time) {
    warp_x = WarpBracket(column_terms_.sin13[i], row_terms_.cos7[j]);
    warp_y = WarpBracket(row_terms_.sin13[j], column_terms_.cos7[i]);
  } else {
    DirectWarp(x, y, t, warp_x, warp_y);
  }
}

void MeshEvaluator::EvaluateRowBatched(size_t j, double cx, double cy, double a,
                                       double frame_time) {
  constexpr size_t N = Program::kBatchSize;
  const float y = static_cast<float>(j) / static_cast<float>(rows_ - 1);
  for (uint32_t slot : lane_slots_) {
    std::fill(lanes_.begin() + slot * N, lanes_.begin() + slot * N + columns_, frame_vars_[slot]);
  }
  double* x_lane = lanes_.data() + slots_[kX] * N;
  double* y_lane = lanes_.data() + slots_[kY] * N;
  double* rad_lane = lanes_.data() + slots_[kRad] * N;
  double* ang_lane = lanes_.data() + slots_[kAng] * N;
  for (size_t i = 0; i < columns_; ++i) {
    x_lane[i] = static_cast<float>(i) / static_cast<float>(columns_ - 1);
    y_lane[i] = y;
    rad_lane[i] = grid_.rad[j * columns_ + i];
    ang_lane[i] = grid_.ang[j * columns_ + i];
  }
  Program::Batch batch;
  batch.count = columns_;
  batch.lanes = lanes_.data();
  batch.is_lane = is_lane_.data();
  batch.scalars = frame_vars_.data();
  batch.stack = batch_stack_.data();
  vertex_program_.RunBatch(batch);

  // Each motion variable is a lane (stride 1) or the frame's value for all (stride 0).
  struct Source {
    const double* at;
    size_t stride;
  };
  const auto source = [&](Bound b) {
    const size_t slot = slots_[b];
    return is_lane_[slot] ? Source{lanes_.data() + slot * N, 1} : Source{&frame_vars_[slot], 0};
  };
  const Source time_src = source(kTime), zoom = source(kZoom), sx = source(kSx),
               sy = source(kSy), rot = source(kRot), warp = source(kWarp), dx = source(kDx),
               dy = source(kDy);
  double last_rot = 0.0, cos_rot = 1.0, sin_rot = 0.0;
  for (size_t i = 0; i < columns_; ++i) {
    const float x = static_cast<float>(i) / static_cast<float>(columns_ - 1);
    const size_t k = j * columns_ + i;
    const double t = time_src.at[i * time_src.stride];
    double warp_x, warp_y;
    Warp(i, j, x, y, t, frame_time, warp_x, warp_y);
    const Motion m{zoom.at[i * zoom.stride], sx.at[i * sx.stride],     sy.at[i * sy.stride],
                   rot.at[i * rot.stride],   warp.at[i * warp.stride], dx.at[i * dx.stride],
                   dy.at[i * dy.stride]};
    mesh_[k] = Place(x, y, grid_.u[k], grid_.v[k], cx, cy, a, warp_x, warp_y, m, last_rot,
                     cos_rot, sin_rot);
  }
}

MeshVertex MeshEvaluator::EvaluateVertex(float x, float y, float aspect) {
  std::copy(frame_vars_.begin(), frame_vars_.end(), vars_.begin());
  const double a = aspect > 0.001f ? aspect : 0.001;
  const double cx = Var(kCx, 0.0);
  const double cy = Var(kCy, 0.0);
  const double u = x - cx;
  const double v = (y - cy) / a;
  const double values[4][2] = {
      {kX, x}, {kY, y}, {kRad, std::sqrt(u * u + v * v)}, {kAng, std::atan2(v, u)}};
  for (const auto& [bound, value] : values) {
    const size_t slot = slots_[static_cast<size_t>(bound)];
    if (slot < vars_.size()) vars_[slot] = value;
  }
  vertex_program_.Run(vars_);
  double warp_x, warp_y;
  DirectWarp(x, y, Var(kTime, 0.0), warp_x, warp_y);
  return Finish(x, y, u, v, cx, cy, a, warp_x, warp_y);
}

void MeshEvaluator::UpdateGridCache(double cx, double cy, double a) {
  GridCache& g = grid_;
  if (g.cx == cx && g.cy == cy && g.a == a && g.columns == columns_ && g.rows == rows_) return;
  g.cx = cx;
  g.cy = cy;
  g.a = a;
  g.columns = columns_;
  g.rows = rows_;
  const size_t n = columns_ * rows_;
  g.u.resize(n);
  g.v.resize(n);
  g.rad.resize(n);
  g.ang.resize(n);
  for (size_t j = 0; j < rows_; ++j) {
    const double y = static_cast<float>(j) / static_cast<float>(rows_ - 1);
    for (size_t i = 0; i < columns_; ++i) {
      const double x = static_cast<float>(i) / static_cast<float>(columns_ - 1);
      const size_t k = j * columns_ + i;
      g.u[k] = x - cx;
      g.v[k] = (y - cy) / a;
      g.rad[k] = std::sqrt(g.u[k] * g.u[k] + g.v[k] * g.v[k]);
      g.ang[k] = std::atan2(g.v[k], g.u[k]);
    }
  }
}

void MeshEvaluator::UpdateWarpTerms(double t) {
  const auto fill = [t](WarpTerms& terms, size_t count) {
    terms.sin13.resize(count);
    terms.cos7.resize(count);
    for (size_t i = 0; i < count; ++i) {
      const double p = static_cast<float>(i) / static_cast<float>(count - 1);
      terms.sin13[i] = std::sin(13.0 * p + 0.33 * t);
      terms.cos7[i] = std::cos(7.0 * p - 0.21 * t);
    }
  };
  fill(column_terms_, columns_);
  fill(row_terms_, rows_);
}

void MeshEvaluator::Evaluate(const AudioFeatures& features, double time, int64_t frame,
                             float aspect) {
  SeedFrameVariables(features, time, frame);
  frame_program_.Run(vars_);
  ReadMotion();
  frame_vars_ = vars_;
  mesh_.resize(columns_ * rows_);

  // The centre and aspect are read before the vertex program runs, so every vertex of the
  // frame shares them: its u, v, rad and ang come from a cache. The warp's trigonometric terms
  // depend on one coordinate each and on the time variable, so they are tabled per column and
  // per row, and computed directly only for a vertex program that changes the time variable.
  const double a = aspect > 0.001f ? aspect : 0.001;
  const double cx = Var(kCx, 0.0);
  const double cy = Var(kCy, 0.0);
  const double frame_time = Var(kTime, 0.0);
  UpdateGridCache(cx, cy, a);
  UpdateWarpTerms(frame_time);
  const size_t n = vars_.size();
  const size_t x_slot = slots_[kX];
  const size_t y_slot = slots_[kY];
  const size_t rad_slot = slots_[kRad];
  const size_t ang_slot = slots_[kAng];
  const bool bound_inside = std::max({x_slot, y_slot, rad_slot, ang_slot}) < n;
  // After a Load every bound slot exists and the lanes are sized; a program that needs the
  // checked interpreter runs vertex by vertex instead.
  const bool batched = bound_inside && is_lane_.size() == n && columns_ <= Program::kBatchSize &&
                       vertex_program_.batchable();
  for (size_t j = 0; j < rows_ && batched; ++j) EvaluateRowBatched(j, cx, cy, a, frame_time);
  for (size_t j = 0; j < rows_ && !batched; ++j) {
    const float y = static_cast<float>(j) / static_cast<float>(rows_ - 1);
    for (size_t i = 0; i < columns_; ++i) {
      const float x = static_cast<float>(i) / static_cast<float>(columns_ - 1);
      const size_t k = j * columns_ + i;
      std::copy(frame_vars_.begin(), frame_vars_.end(), vars_.begin());
      if (bound_inside) {
        vars_[x_slot] = x;
        vars_[y_slot] = y;
        vars_[rad_slot] = grid_.rad[k];
        vars_[ang_slot] = grid_.ang[k];
      }
      vertex_program_.Run(vars_);
      const double t = Var(kTime, 0.0);
      double warp_x, warp_y;
      Warp(i, j, x, y, t, frame_time, warp_x, warp_y);
      mesh_[k] = Finish(x, y, grid_.u[k], grid_.v[k], cx, cy, a, warp_x, warp_y);
    }
  }
  std::copy(frame_vars_.begin(), frame_vars_.end(), vars_.begin());
}

}  // namespace halvex::vis
