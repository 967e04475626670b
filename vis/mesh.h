// Runs one preset's equations: the per-frame program once a frame, the per-vertex program at
// every point of the warp grid, turning the motion variables into texture coordinates.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "vis/analysis.h"
#include "vis/eel.h"
#include "vis/preset.h"

namespace halvex::vis {

// One grid point: its position (0..1 each) and where it samples the previous frame.
struct MeshVertex {
  float x = 0.0f;
  float y = 0.0f;
  float u = 0.0f;
  float v = 0.0f;
};
static_assert(sizeof(MeshVertex) == 16);

// What the renderer needs from one frame's evaluation.
struct FrameState {
  float decay = 0.0f;
  float gamma = 0.0f;
  float echo_zoom = 0.0f;
  float echo_alpha = 0.0f;
  int32_t echo_orientation = 0;
  float wave_r = 0.0f;
  float wave_g = 0.0f;
  float wave_b = 0.0f;
  float wave_a = 0.0f;
  float wave_x = 0.0f;
  float wave_y = 0.0f;
  int32_t wave_mode = 0;
  bool additive_waves = false;
  bool invert = false;
  bool brighten = false;
  bool darken = false;
  bool solarize = false;
};

class MeshEvaluator {
 public:
  static constexpr size_t kMinGrid = 8;
  static constexpr size_t kMaxGrid = 96;

  // The 34 variables every preset sees, in binding order.
  enum Bound : size_t {
    kZoom, kRot, kWarp, kCx, kCy, kDx, kDy, kSx, kSy, kDecay,
    kX, kY, kRad, kAng,
    kTime, kFrame, kFps,
    kBass, kMid, kTreb, kBassAtt, kMidAtt, kTrebAtt,
    kGamma, kEchoZoom, kEchoAlpha, kEchoOrient,
    kWaveR, kWaveG, kWaveB, kWaveA, kWaveX, kWaveY, kWaveMode,
    kBoundCount
  };
  static const char* const kBoundNames[kBoundCount];

  // Each side clamped to [kMinGrid, kMaxGrid].
  void SetGrid(size_t columns, size_t rows);
  // Compiles the preset's programs and runs its init program once; on a compile error returns
  // false with the first failing program's error.
  bool Load(const Preset& preset, std::string& error);
  // One frame: time in seconds, aspect = drawable width / height.
  void Evaluate(const AudioFeatures& features, double time, int64_t frame, float aspect);

  // The steps of Evaluate.
  void SeedFrameVariables(const AudioFeatures& features, double time, int64_t frame);
  void ReadMotion();
  MeshVertex EvaluateVertex(float x, float y, float aspect);
  void BindNames();

  const std::vector<MeshVertex>& mesh() const { return mesh_; }
  size_t columns() const { return columns_; }
  size_t rows() const { return rows_; }
  const FrameState& frame_state() const { return frame_state_; }
  const PresetParams& params() const { return params_; }
  const std::vector<std::string>& notes() const { return notes_; }
  // q1..q8 as this frame's per-frame program left them (0 when a preset never names one):
  // what the custom waves and shapes read.
  std::array<double, 8> q() const;
  // The live variables and their names, for tests and diagnostics.
  const std::vector<double>& vars() const { return vars_; }
  const VariableTable& table() const { return table_; }

 private:
  // Per-grid-point values that depend only on the frame's centre and aspect, and the warp's
  // per-column and per-row terms; rebuilt only when their inputs change.
  struct GridCache {
    double cx = std::numeric_limits<double>::quiet_NaN();
    double cy = 0.0;
    double a = 0.0;
    size_t columns = 0;
    size_t rows = 0;
    std::vector<double> u, v, rad, ang;  // per grid point
  };
  struct WarpTerms {
    std::vector<double> sin13, cos7;  // of 13 p + 0.33 t and 7 p - 0.21 t, per column / row
  };

  // The motion variables after a vertex program ran.
  struct Motion {
    double zoom, sx, sy, rot, warp, dx, dy;
  };
  static MeshVertex Place(float x, float y, double u, double v, double cx, double cy, double a,
                          double warp_x, double warp_y, const Motion& m, double& last_rot,
                          double& cos_rot, double& sin_rot);
  void EvaluateRowBatched(size_t j, double cx, double cy, double a, double frame_time);

  double Var(size_t bound, double missing) const;
  // Texture coordinate for the vertex program's results; `warp_x`, `warp_y` are the brackets
  // of the warp displacement.
  MeshVertex Finish(float x, float y, double u, double v, double cx, double cy, double a,
                    double warp_x, double warp_y) const;
  void UpdateGridCache(double cx, double cy, double a);
  void UpdateWarpTerms(double t);
  // The warp brackets of the vertex at column i, row j: from the tables while the vertex
  // program left the time variable at the frame's value `frame_time`, else computed directly.
  void Warp(size_t i, size_t j, float x, float y, double t, double frame_time, double& warp_x,
            double& warp_y) const;

  VariableTable table_;
  Program init_program_;
  Program frame_program_;
  Program vertex_program_;
  std::vector<double> vars_;
  std::vector<double> frame_vars_;
  std::vector<MeshVertex> mesh_;
  std::vector<std::string> notes_;
  FrameState frame_state_;
  PresetParams params_;
  size_t columns_ = 48;
  size_t rows_ = 36;
  std::array<size_t, kBoundCount> slots_{};
  std::array<size_t, 8> q_slots_{};
  GridCache grid_;
  // Lanes for running the vertex program over a whole row at once.
  std::vector<double> lanes_;
  std::vector<uint8_t> is_lane_;
  std::vector<uint32_t> lane_slots_;
  std::vector<double> batch_stack_;
  WarpTerms column_terms_;
  WarpTerms row_terms_;
};

}  // namespace halvex::vis
