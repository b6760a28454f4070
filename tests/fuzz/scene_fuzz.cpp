// The picture decoders over any bytes: a picture is refused with a reason, or decoded to Width x Height
// pixels of three bytes each within the size limit.
#include "host/simcam/scene.h"
#include "tests/fuzz/fuzz_support.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::vector<uint8_t> bytes(Data, Data + Size);
    simcam::Scene scene;
    std::string error;
    if (!simcam::DecodeScene(bytes, &scene, &error)) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(scene.Width > 0 && scene.Height > 0);
    FUZZ_CHECK(int64_t(scene.Width) * scene.Height <= simcam::SCENE_MAX_PIXELS);
    FUZZ_CHECK(scene.Rgb.size() == size_t(scene.Width) * size_t(scene.Height) * 3);
    return 0;
}
