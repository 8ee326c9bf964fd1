#pragma once
#include <QImage>

namespace painter {

inline constexpr int kSlides = 16;

// Slide `number` (1 to 16), 151 x 120: each a different calm landscape, the same on every run.
QImage slide(int number);
// The picture the picture box shows before the first slide: 160 x 160, of which the box shows the
// top left 151 x 120.
QImage builtInPicture();

} // namespace painter
