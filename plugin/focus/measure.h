// The sharpness measure of Add: for each pixel, the sum over its three channels
// of the squared differences between the pixel and its 20 nearest neighbours
// (the 5 x 5 square without its corners and without the pixel itself).
//
// This is the scalar reference kernel: the vectorised versions in kernels.h,
// which Add calls through the table in use, give the same numbers bit for bit
// and fall back to this one for the pixels a vector block does not cover.
#pragma once

#include <cstddef>
#include <cstdint>

// Window rows hold (width + 4) pixels of three unsigned 16-bit channels; the
// picture's pixel x sits at window position x + 2, with two repeated edge
// pixels on either side, so no pixel needs an edge test.
inline constexpr int kWindowBorder = 2;
inline constexpr int kWindowRows = 5;
inline constexpr int kWindowChannels = 3;

// The 20 neighbours as (row offset, column offset).
struct NeighbourOffset {
  int row;
  int column;
};
inline constexpr NeighbourOffset kNeighbourhood[20] = {
    {-2, -1}, {-2, 0},  {-2, 1},                    //
    {-1, -2}, {-1, -1}, {-1, 0}, {-1, 1}, {-1, 2},  //
    {0, -2},  {0, -1},  {0, 1},  {0, 2},            //
    {1, -2},  {1, -1},  {1, 0},  {1, 1},  {1, 2},   //
    {2, -1},  {2, 0},   {2, 1}};

// Measures every pixel of the centre row. rows[0..4] hold the picture rows
// y - 2 .. y + 2; out receives width values. The sum is exact: 60 squares of
// at most 65535^2 stay far below 2^53, so it also converts to double exactly.
void MeasureRow(const std::uint16_t* const rows[kWindowRows], std::int32_t width,
                std::uint64_t* out);

// True when some of the `count` samples is above 32768: the vector kernels
// measure only rows without such samples (a well-behaved host never sends
// them), the reference every other row.
bool AnySampleAbove32768(const std::uint16_t* samples, std::size_t count);
