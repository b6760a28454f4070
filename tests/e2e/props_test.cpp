// `z40k props` and `z40k capture --set`: properties as a user reads and sets them from the command line.
#include "tests/e2e/run_z40k.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

class PropsCommand : public e2e::FolderTest {
  protected:
    PropsCommand() : FolderTest("z40k-e2e-props") {}

    e2e::Outcome Capture(const std::string& Args) {
        return Run("capture --clock virtual --drive-c " + Path("c") + " -o " + Path("out") + " " + Args);
    }

    // name -> value of `z40k props --json`
    std::map<std::string, long> Props(const std::string& Args) {
        e2e::Outcome r = Run("props --json " + Args);
        EXPECT_EQ(r.ExitCode, 0) << r.Err;
        std::map<std::string, long> values;
        for (const auto& entry : nlohmann::json::parse(r.Out)) {
            if (entry.contains("value"))
                values[entry["name"].get<std::string>()] = entry["value"].get<long>();
        }
        return values;
    }
};

TEST_F(PropsCommand, AFreshCameraReportsItsInitialSettings) {
    std::map<std::string, long> v = Props("");
    EXPECT_EQ(v["device-info-1"], 2500);
    EXPECT_EQ(v["exposure-max"], 2047);
    EXPECT_EQ(v["gain-max"], 1023);
    EXPECT_EQ(v["color"], 1);
    EXPECT_EQ(v["awb"], 0);
    EXPECT_EQ(v["exposure"], 750);
    EXPECT_EQ(v["gain"], 0);
    EXPECT_EQ(v["red-gain"], 128);
    EXPECT_EQ(v["color-phase"], 3);
    EXPECT_EQ(v.count("camera-command"), 0u) << "a set-only property has nothing to report";
}

TEST_F(PropsCommand, SettingsSetForACaptureReachTheRegistryAndTheNextCamera) {
    e2e::Outcome r =
        Capture("--registry " + Path("z40k.reg") +
                " --set exposure=1500 --set gain=7 --set white-balance=auto --set brightness=54");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    std::map<std::string, long> v = Props("--registry " + Path("z40k.reg"));
    EXPECT_EQ(v["exposure"], 1500);
    EXPECT_EQ(v["gain"], 7);
    EXPECT_EQ(v["awb"], 1) << "automatic white balance of the proc-amp set is the camera's white balance";
    EXPECT_EQ(v["brightness"], 0) << "proc-amp values are not kept across cameras";
}

TEST_F(PropsCommand, RefusedAndUnknownSettingsStopBeforeAnyFrame) {
    e2e::Outcome refused = Capture("--set brightness=200");
    EXPECT_EQ(refused.ExitCode, 1);
    EXPECT_NE(refused.Err.find("STATUS_INVALID_PARAMETER"), std::string::npos) << refused.Err;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "frame-0000.bmp"));

    e2e::Outcome unknown = Capture("--set shutter=3");
    EXPECT_EQ(unknown.ExitCode, 2);
    EXPECT_NE(unknown.Err.find("unknown property shutter"), std::string::npos) << unknown.Err;

    e2e::Outcome readOnly = Capture("--set gain-max=5");
    EXPECT_EQ(readOnly.ExitCode, 2);

    // The driver would cut 5000 to the register's 11 bits (904) and save that: refused, naming the range.
    e2e::Outcome outOfRange = Capture("--set exposure=5000");
    EXPECT_EQ(outOfRange.ExitCode, 2);
    EXPECT_NE(outOfRange.Err.find("exposure=5000 is out of range; exposure takes 0..2047"), std::string::npos)
        << outOfRange.Err;

    e2e::Outcome notANumber = Capture("--set exposure=bright");
    EXPECT_EQ(notANumber.ExitCode, 2);
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(PropsCommand, InfoListsTheAdvertisedSetWithEachItemsAccess) {
    e2e::Outcome r = Run("info --json");
    ASSERT_EQ(r.ExitCode, 0) << r.Err;
    nlohmann::json info = nlohmann::json::parse(r.Out);
    ASSERT_EQ(info["device_property_sets"].size(), 1u) << "only the camera set is advertised";
    const nlohmann::json& set = info["device_property_sets"][0];
    EXPECT_EQ(set["guid"], "{76BF9E14-22F4-4A02-A0EB-665DE962B531}");
    ASSERT_EQ(set["items"].size(), 14u);
    for (const auto& item : set["items"]) {
        const int id = item["id"].get<int>();
        EXPECT_EQ(item["get"].get<bool>(), id <= 13) << "item " << id;
        EXPECT_EQ(item["set"].get<bool>(), id >= 5) << "item " << id;
        EXPECT_FALSE(item["name"].get<std::string>().empty()) << "item " << id << " has no name";
    }
    ASSERT_EQ(info["streams"].size(), 1u) << "one stream is reported: the capture pin";
    // The header's dwBitRate holds the byte rate; the text says so beside the caps' bit rate.
    const e2e::Outcome text = Run("info");
    EXPECT_NE(text.Out.find("dwBitRate 221184000 bytes/s (1769472000 bit/s)"), std::string::npos) << text.Out;
}

} // namespace
