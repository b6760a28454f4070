// Grey-world white balance of one colour frame: blue and red gains bring their means to the green mean.
#pragma once

#include "imaging/color.h"

constexpr ULONG WHITE_BALANCE_GAIN_CAP = 400;
constexpr ULONG UNITY_GAIN = 128;

// Averages the three classes over the statistics region and rewrites the record's gains (green 128).
// When the floating-point state cannot be saved the gains are left as they were. Returns TRUE always.
// The caller guarantees that the region lies inside the scratch frame.
BOOLEAN ComputeWhiteBalance(ColorParams* Params);
// The same reading the window's rows from Rows instead of Params' scratch frame.
BOOLEAN ComputeWhiteBalanceOf(ColorParams* Params, const WindowRows& Rows);
