// The placeholder picture the output stream shows while no client frame arrives: a dark grey
// field with two lighter grey panels, painted with 4-byte pattern fills.
//
// Threading: paintPlaceholder() touches only the memory it is given; call it from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// BGRA bytes of the background and of both panels.
inline constexpr std::uint8_t kPlaceholderBackgroundPattern[4] = {0x1E, 0x1C, 0x1C, 0xFF};
inline constexpr std::uint8_t kPlaceholderPanelPattern[4] = {0x2E, 0x2C, 0x2C, 0xFF};

// Panel rows (first and last, inclusive) and each panel row's byte range from the row start.
inline constexpr std::size_t kUpperPanelFirstRow = 120;
inline constexpr std::size_t kUpperPanelLastRow = 359;
inline constexpr std::size_t kUpperPanelByteOffset = 400;
inline constexpr std::size_t kUpperPanelByteLength = 2400;
inline constexpr std::size_t kLowerPanelFirstRow = 480;
inline constexpr std::size_t kLowerPanelLastRow = 839;
inline constexpr std::size_t kLowerPanelByteOffset = 640;
inline constexpr std::size_t kLowerPanelByteLength = 1920;

// Paints the picture into a kHeight-row BGRA image whose rows start `bytesPerRow` bytes apart
// (at least kWidth × 4). The background covers every byte of every row, padding included.
void paintPlaceholder(std::uint8_t* base, std::size_t bytesPerRow);
