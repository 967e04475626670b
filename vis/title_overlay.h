// The title card: a newly announced text pops in over the picture, holds, then is drawn into the
// feedback image, fading and growing, so the preset's motion carries it away.
#pragma once

#include <string>
#include <vector>

namespace halvex::vis {

// A point of a title line strip in clip space with its alpha; strokes are joined by alpha-0
// points.
struct TitlePoint {
  float x = 0.0f;
  float y = 0.0f;
  float alpha = 0.0f;
};

class TitleOverlay {
 public:
  // Starts a card for `text` at time `t` (seconds); an empty or unchanged text is ignored.
  void Announce(const std::string& text, double t);

  // 0 nothing to draw, 1 drawn over the picture (first 2 s), 2 drawn into the feedback (2 s to 6
  // s).
  int Phase(double t) const;
  // Glyph height in clip units: pops in from 0.1888 to 0.16, holds, then grows to 0.216.
  float Height(double t) const;
  // The card's alpha: 1 for 2 s, then fading out quadratically until 6 s; 0 without a card.
  float Alpha(double t) const;
  // The card as one line strip (empty outside its 6 s).
  std::vector<TitlePoint> Geometry(double t, float aspect) const;

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  double since_ = -1000.0;
};

// The product's mark (sound waves either side of a stem) as one line strip centred at height y,
// `size` clip units tall, x divided by `aspect`; nothing when alpha or size is not positive.
std::vector<TitlePoint> BrandMark(float y, float size, float alpha, float aspect);

}  // namespace halvex::vis
