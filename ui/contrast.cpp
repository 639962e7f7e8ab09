#include "ui/contrast.h"

#include <algorithm>
#include <cmath>

namespace bi::ui {
namespace {

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double luminance(Rgb c) { return 0.2126 * linear(c.r) + 0.7152 * linear(c.g) + 0.0722 * linear(c.b); }

Rgb mix(Rgb from, Rgb to, double t) {
    return {from.r + (to.r - from.r) * t, from.g + (to.g - from.g) * t, from.b + (to.b - from.b) * t};
}

}  // namespace

double contrastRatio(Rgb a, Rgb b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

Rgb readableOn(Rgb colour, Rgb background, double ratio) {
    if (contrastRatio(colour, background) >= ratio) return colour;
    const Rgb white{1, 1, 1}, black{0, 0, 0};
    const Rgb away = contrastRatio(white, background) >= contrastRatio(black, background) ? white : black;
    // Past the background's luminance the contrast only grows toward `away`: the least mix
    // that reaches the ratio is found by halving.
    double low = 0, high = 1;
    for (int i = 0; i < 32; ++i) {
        const double t = (low + high) / 2;
        (contrastRatio(mix(colour, away, t), background) >= ratio ? high : low) = t;
    }
    // In whole steps of the 8 bits a screen shows, each rounded toward `away`: never short of
    // the ratio.
    const Rgb mixed = mix(colour, away, high);
    const auto step = [&](double channel) {
        return (away.r > 0 ? std::ceil(channel * 255 - 1e-9) : std::floor(channel * 255 + 1e-9)) / 255;
    };
    return {step(mixed.r), step(mixed.g), step(mixed.b)};
}

}  // namespace bi::ui
