// Colours a person can read: the contrast ratio of two colours as WCAG defines it, and a colour
// moved toward white or black just far enough to reach a ratio against its background. The GTK
// window takes its failure's colour from the theme and makes it readable with these.
#pragma once

namespace bi::ui {

// An sRGB colour, each channel from 0 to 1.
struct Rgb {
    double r = 0, g = 0, b = 0;
};

// From 1 (the same luminance) to 21 (black on white), whichever colour is the lighter.
double contrastRatio(Rgb a, Rgb b);

// `colour` when it reaches `ratio` against `background`; otherwise `colour` mixed with white or
// black, whichever stands further from the background, just enough to reach it, in whole
// steps of 1/255.
Rgb readableOn(Rgb colour, Rgb background, double ratio = 4.5);

}  // namespace bi::ui
