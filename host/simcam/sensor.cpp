// The simulated sensor. Each frame is one pass over the scene through a 256-entry response table, so the
// exposure and gain arithmetic is done 256 times per frame instead of once per site.
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"

#include <algorithm>
#include <cstring>

namespace simcam {

namespace {

bool SceneUsable(const Scene& Picture) {
    return Picture.Width > 0 && Picture.Height > 0 &&
           Picture.Rgb.size() == static_cast<size_t>(Picture.Width) * static_cast<size_t>(Picture.Height) * 3;
}

// Reads scene pixels for sensor sites. A scene of the sensor's size maps site to pixel one to one; any
// other size is sampled at the pixel nearest each site's centre (pictures loaded from files are already
// resampled to the sensor's size, so this is only a safety net for hand-made scenes).
class SceneSampler {
  public:
    explicit SceneSampler(const Scene& Picture) : picture_(Picture) {
        usable_ = SceneUsable(Picture);
        exact_ = usable_ && Picture.Width == SENSOR_WIDTH && Picture.Height == SENSOR_HEIGHT;
        if (usable_ && !exact_) {
            columnOffset_.resize(SENSOR_WIDTH);
            for (int c = 0; c < SENSOR_WIDTH; ++c) {
                int x =
                    static_cast<int>((2 * static_cast<int64_t>(c) + 1) * Picture.Width / (2 * SENSOR_WIDTH));
                columnOffset_[c] = 3 * static_cast<size_t>(x);
            }
        }
    }

    // Writes the 2560 samples of mosaic row Row to Out.
    void RenderLine(int Row, const uint8_t Table[256], uint8_t* Out) const {
        if (!usable_) {
            std::memset(Out, Table[0], SENSOR_WIDTH);
            return;
        }
        // Even rows: G at even columns, B at odd. Odd rows: R at even columns, G at odd.
        const int evenChannel = (Row & 1) ? 0 : 1;
        const int oddChannel = (Row & 1) ? 1 : 2;
        if (exact_) {
            const uint8_t* in = picture_.Rgb.data() + static_cast<size_t>(Row) * SENSOR_WIDTH * 3;
            for (int c = 0; c < SENSOR_WIDTH; c += 2, in += 6) {
                Out[c] = Table[in[evenChannel]];
                Out[c + 1] = Table[in[3 + oddChannel]];
            }
            return;
        }
        int y = static_cast<int>((2 * static_cast<int64_t>(Row) + 1) * picture_.Height / (2 * SENSOR_HEIGHT));
        const uint8_t* in = picture_.Rgb.data() + static_cast<size_t>(y) * picture_.Width * 3;
        for (int c = 0; c < SENSOR_WIDTH; c += 2) {
            Out[c] = Table[in[columnOffset_[c] + evenChannel]];
            Out[c + 1] = Table[in[columnOffset_[c + 1] + oddChannel]];
        }
    }

  private:
    const Scene& picture_;
    bool usable_ = false;
    bool exact_ = false;
    std::vector<size_t> columnOffset_;
};

// Out[i] = Table[In[i]]. Eight samples are gathered into a register and stored at once: with byte-wide
// stores the compiler must assume each one may change the table or the input and reloads them.
void ApplyTable(const uint8_t Table[256], const uint8_t* In, uint8_t* Out, size_t Count) {
    size_t i = 0;
    for (; i + 8 <= Count; i += 8) {
        uint64_t in;
        std::memcpy(&in, In + i, 8);
        const uint64_t out = static_cast<uint64_t>(Table[in & 0xFF]) |
                             static_cast<uint64_t>(Table[(in >> 8) & 0xFF]) << 8 |
                             static_cast<uint64_t>(Table[(in >> 16) & 0xFF]) << 16 |
                             static_cast<uint64_t>(Table[(in >> 24) & 0xFF]) << 24 |
                             static_cast<uint64_t>(Table[(in >> 32) & 0xFF]) << 32 |
                             static_cast<uint64_t>(Table[(in >> 40) & 0xFF]) << 40 |
                             static_cast<uint64_t>(Table[(in >> 48) & 0xFF]) << 48 |
                             static_cast<uint64_t>(Table[in >> 56]) << 56;
        std::memcpy(Out + i, &out, 8);
    }
    for (; i < Count; ++i) {
        Out[i] = Table[In[i]];
    }
}

} // namespace

void BuildResponseTable(uint16_t Exposure, uint16_t Gain, uint8_t Table[256]) {
    // v x (E / 750) x ((256 + G) / 256) = v x E x (256 + G) / 192000. The largest numerator,
    // 255 x 2047 x 1279, fits in 32 bits; adding half the denominator rounds to nearest.
    const uint32_t e = Exposure & EXPOSURE_MASK;
    const uint32_t g = 256u + (Gain & GAIN_MASK);
    constexpr uint32_t denominator = SENSOR_UNITY_EXPOSURE * 256u;
    for (uint32_t v = 0; v < 256; ++v) {
        uint32_t sample = (v * e * g + denominator / 2) / denominator;
        Table[v] = static_cast<uint8_t>(std::min<uint32_t>(sample, 255));
    }
}

std::vector<uint8_t> RenderMosaic(const Scene& Picture, uint16_t Exposure, uint16_t Gain) {
    uint8_t table[256];
    BuildResponseTable(Exposure, Gain, table);
    std::vector<uint8_t> mosaic(static_cast<size_t>(SENSOR_WIDTH) * SENSOR_HEIGHT);
    SceneSampler sampler(Picture);
    for (int r = 0; r < SENSOR_HEIGHT; ++r) {
        sampler.RenderLine(r, table, mosaic.data() + static_cast<size_t>(r) * SENSOR_WIDTH);
    }
    return mosaic;
}

std::vector<uint8_t> LayoutRawFrame(const std::vector<uint8_t>& Mosaic) {
    std::vector<uint8_t> raw(RAW_FRAME_SIZE, RAW_FILLER);
    const size_t rows = std::min<size_t>(Mosaic.size() / SENSOR_WIDTH, SENSOR_HEIGHT);
    for (size_t r = 0; r < rows; ++r) {
        std::memcpy(raw.data() + RawOffsetOf(static_cast<int>(r), 0), Mosaic.data() + r * SENSOR_WIDTH,
                    SENSOR_WIDTH);
    }
    // A last, partial row still lands where it belongs; the rest of its line stays filler.
    const size_t tail = rows < SENSOR_HEIGHT ? Mosaic.size() - rows * SENSOR_WIDTH : 0;
    if (tail != 0) {
        std::memcpy(raw.data() + RawOffsetOf(static_cast<int>(rows), 0), Mosaic.data() + rows * SENSOR_WIDTH,
                    tail);
    }
    return raw;
}

void LayoutRawFrame(const std::vector<uint8_t>& UnityMosaic, uint16_t Exposure, uint16_t Gain,
                    std::vector<uint8_t>* Raw) {
    uint8_t table[256];
    BuildResponseTable(Exposure, Gain, table);
    // At the camera's default exposure and gain the table changes nothing, and the lines are plain copies.
    bool identity = true;
    for (int v = 0; v < 256; ++v) {
        identity = identity && table[v] == v;
    }
    Raw->assign(RAW_FRAME_SIZE, RAW_FILLER);
    const size_t sites = std::min<size_t>(UnityMosaic.size(), size_t{SENSOR_WIDTH} * SENSOR_HEIGHT);
    uint8_t* raw = Raw->data();
    for (size_t first = 0; first < sites; first += SENSOR_WIDTH) {
        const int row = static_cast<int>(first / SENSOR_WIDTH);
        const uint8_t* in = UnityMosaic.data() + first;
        uint8_t* out = raw + RawOffsetOf(row, 0);
        const size_t count = std::min<size_t>(SENSOR_WIDTH, sites - first);
        if (identity) {
            std::memcpy(out, in, count);
        } else {
            ApplyTable(table, in, out, count);
        }
    }
}

void RenderRawFrame(const Scene& Picture, uint16_t Exposure, uint16_t Gain, std::vector<uint8_t>* Raw) {
    uint8_t table[256];
    BuildResponseTable(Exposure, Gain, table);
    // The caller may have written into the buffer since the last frame, so the filler is laid down again
    // in full rather than trusted.
    Raw->assign(RAW_FRAME_SIZE, RAW_FILLER);
    SceneSampler sampler(Picture);
    uint8_t* raw = Raw->data();
    for (int r = 0; r < SENSOR_HEIGHT; ++r) {
        sampler.RenderLine(r, table, raw + RawOffsetOf(r, 0));
    }
}

} // namespace simcam
