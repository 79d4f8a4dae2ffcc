// Where each control of the window sits, in twips from the client area's
// top-left corner, as the window was drawn.  Form1 places its controls by
// this table, and anything that must find them on the screen (the tests
// that drive the installed program, the benchmarks) reads it here.
#pragma once

namespace Form1Layout {

// 15 twips make one device-independent pixel; Qt's high-DPI scaling does
// the rest.
inline constexpr int TwipsPerPixel = 15;

constexpr int pixels(int twips)
{
    return (twips + TwipsPerPixel / 2) / TwipsPerPixel;
}

struct Place {
    int left, top, width, height;
    constexpr int centreX() const { return pixels(left + width / 2); }
    constexpr int centreY() const { return pixels(top + height / 2); }
};

inline constexpr Place Window{0, 0, 6225, 3600};
inline constexpr Place Command2{240, 120, 1695, 375}; // Play
inline constexpr Place Slider1{240, 1200, 4815, 495};
inline constexpr Place Command1{2040, 120, 1575, 375}; // Stop
inline constexpr Place Label1{240, 840, 615, 255};     // "Volume"
inline constexpr Place Command3{240, 2040, 1095, 375}; // Balance
inline constexpr Place Text1{360, 2760, 495, 285};     // X
inline constexpr Place Text2{1320, 2760, 495, 285};    // Y
inline constexpr Place Label2{120, 2760, 255, 255};    // "X"
inline constexpr Place Label3{1080, 2760, 135, 255};   // "Y"
inline constexpr Place Command4{3720, 120, 1575, 375}; // Pause, right of Stop
inline constexpr Place Label4{120, 3180, 5985, 255};   // what plays, and where

} // namespace Form1Layout
