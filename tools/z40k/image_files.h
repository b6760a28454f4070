// Writing a converted frame buffer to a picture file: 24-bit BMP, PNG or the raw buffer itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace z40k {

enum class ImageFormat { Bmp, Png, Raw };

// The format named by a file's extension (.bmp, .png, .raw, in any case); false for any other.
bool ImageFormatFromPath(const std::string& Path, ImageFormat* Format);

// Whether this build can write PNG files.
bool PngSupported();

// The file an output named Path goes to: Path itself, or the file a symbolic link at Path names. *InPlace
// is set when that file exists and is not a regular file (a device, a FIFO): it must be written where it
// is, not replaced by a renamed temporary.
std::filesystem::path OutputTarget(const std::string& Path, bool* InPlace);

// Writes Frame, RGB24 rows of 3 x Width bytes in the order blue, green, red, bottom row first (the
// driver's output), to Path. BMP stores those rows as they are; PNG gets them top row first; Raw writes
// all Length bytes unchanged. The file is written beside Path under a temporary name and renamed over
// it when complete, so a failure never leaves a partial file at Path (a device or FIFO is written in
// place, a symbolic link's file is replaced and the link kept). False with *Error set on failure.
bool WriteImageFile(const std::string& Path, ImageFormat Format, const uint8_t* Frame, size_t Length,
                    int Width, int Height, std::string* Error);

// The picture file WriteImageFile would write for a BMP or PNG, in memory. False with *Error set.
bool EncodeImage(ImageFormat Format, const uint8_t* Frame, int Width, int Height, std::vector<uint8_t>* Out,
                 std::string* Error);

} // namespace z40k
