// The glyphs of the registration indicator and the engine state light, drawn here rather than
// taken from image files: 0 off (grey), 1 and 2 red, 3 and 4 green, 5 and 6 amber; the odd
// images are the dim form of the even ones that follow them.
#pragma once

#include <QIcon>

namespace kestrel {

constexpr int kGlyphCount = 7;
QIcon GlyphImage(int index);
// The colour a glyph shows (for tests and for the status bar's tooltip).
QColor GlyphColour(int index);

} // namespace kestrel
