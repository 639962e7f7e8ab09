#include "ui/contrast.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace bi;

// A colour that reaches 4.5:1 stays; one that does not moves away from the background, just far
// enough, and stays red.
TEST(Contrast, AColourTooFaintOnItsBackgroundMovesAwayFromItJustFarEnough) {
    const auto hex = [](unsigned v) {
        return ui::Rgb{(v >> 16 & 0xff) / 255.0, (v >> 8 & 0xff) / 255.0, (v & 0xff) / 255.0};
    };
    EXPECT_NEAR(ui::contrastRatio(hex(0x000000), hex(0xffffff)), 21, 1e-9);
    EXPECT_NEAR(ui::contrastRatio(hex(0xcc0000), hex(0x353535)), 2.08, 0.005);  // Adwaita's dark theme
    // clang-format off
    const struct { unsigned colour, background; bool kept, lighter; } rows[] = {
        {0xc01c28, 0xffffff, true, false},  {0xcc0000, 0xf6f5f4, true, false},  {0xcc0000, 0x353535, false, true},
        {0xff8080, 0xffffff, false, false}, {0x400000, 0x303030, false, true},  {0x808080, 0x777777, false, false},
    };
    // clang-format on
    for (const auto& r : rows) {
        const ui::Rgb colour = hex(r.colour), background = hex(r.background);
        const ui::Rgb shown = ui::readableOn(colour, background);
        const double ratio = ui::contrastRatio(shown, background);
        EXPECT_GE(ratio, 4.5) << std::hex << r.colour;
        if (r.kept) {
            EXPECT_TRUE(shown.r == colour.r && shown.g == colour.g && shown.b == colour.b) << std::hex << r.colour;
            continue;
        }
        EXPECT_LT(ratio, 4.6) << std::hex << r.colour;
        EXPECT_EQ(shown.g > colour.g, r.lighter) << std::hex << r.colour;
        EXPECT_TRUE(r.colour == 0x808080 || (shown.r > shown.g && shown.r > shown.b)) << std::hex << r.colour;
        for (const double c : {shown.r, shown.g, shown.b}) EXPECT_DOUBLE_EQ(c * 255, std::round(c * 255));
    }
}
