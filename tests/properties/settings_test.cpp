#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "properties/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Written {
    std::string Name;
    ULONG Type;
    std::vector<uint8_t> Data;
};

class Settings : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::PoolTakeErrors();
        pool_before_ = host::PoolOutstanding().size();
        std::memset(&pdo_, 0, sizeof pdo_);
        host::RegistrySetDevicePdo(&pdo_);
        // The library hands over a zero-filled extension; mark it so that a field left alone shows.
        std::memset(&context_, 0, sizeof context_);
        context_.PhysicalDeviceObject = &pdo_;
        host::RegistrySetObserver(
            [this](const std::string& key, const std::string& name, const host::RegistryValue& value) {
                EXPECT_EQ(key, Key());
                written_.push_back({name, value.Type, value.Data});
            });
    }
    void TearDown() override {
        EXPECT_EQ(host::RegistryOpenHandles(), 0u);
        EXPECT_EQ(host::PoolOutstanding().size(), pool_before_);
        EXPECT_TRUE(host::PoolTakeErrors().empty());
        host::ResetKernel();
    }

    static std::string Key() { return host::DriverKeyPath() + "\\Z40K_Settings"; }

    // What initialise-device does around the settings: initial values and load, then VerticalFlip := 1.
    void InitializeDevice() {
        EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
        context_.VerticalFlip = 1;
    }

    std::vector<uint32_t> WrittenDwords() const {
        std::vector<uint32_t> values;
        for (const Written& w : written_) {
            EXPECT_EQ(w.Type, REG_DWORD);
            EXPECT_EQ(w.Data.size(), 4u);
            uint32_t v = 0;
            std::memcpy(&v, w.Data.data(), 4);
            values.push_back(v);
        }
        return values;
    }

    DEVICE_OBJECT pdo_;
    DeviceContext context_;
    std::vector<Written> written_;
    size_t pool_before_ = 0;
};

const std::vector<std::string> ORDER = {"Color Enable", "Auto White Balance", "Exposure Time",
                                        "Global Gain",  "Horizon Mirror",     "Vertical Flip"};

TEST_F(Settings, FirstStartCreatesTheEmptySubkeyAndFirstStopWritesTheInitialValues) {
    InitializeDevice();
    EXPECT_TRUE(host::RegistryKeyExists(Key()));
    EXPECT_TRUE(host::RegistryValues(Key()).empty());
    EXPECT_EQ(context_.ColorEnable, 1);
    EXPECT_EQ(context_.AutoWhiteBalance, 0);
    EXPECT_EQ(context_.RedGain, 128u);
    EXPECT_EQ(context_.GreenGain, 128u);
    EXPECT_EQ(context_.BlueGain, 128u);
    EXPECT_EQ(context_.ExposureTime, 750);
    EXPECT_EQ(context_.GlobalGain, 0);
    EXPECT_EQ(context_.HorizonMirror, 0);
    EXPECT_EQ(context_.ColorPhase, 3u);

    EXPECT_EQ(SaveSettings(nullptr, &context_), 1);
    ASSERT_EQ(written_.size(), 6u);
    for (size_t i = 0; i < ORDER.size(); ++i)
        EXPECT_EQ(written_[i].Name, ORDER[i]);
    EXPECT_EQ(WrittenDwords(), (std::vector<uint32_t>{1, 0, 750, 0, 0, 1}));
}

TEST_F(Settings, InitialValuesDoNotTouchTheProcAmpAndWindowFields) {
    context_.Brightness = 17;
    context_.WindowParam0 = 5;
    InitializeDevice();
    EXPECT_EQ(context_.Brightness, 17);
    EXPECT_EQ(context_.WindowParam0, 5u);
}

struct LoadCase {
    const char* Title;
    std::vector<std::pair<std::string, host::RegistryValue>> Stored;
    BOOLEAN ColorEnable, AutoWhiteBalance;
    USHORT ExposureTime, GlobalGain;
    BOOLEAN HorizonMirror, VerticalFlip;
};

void PrintTo(const LoadCase& c, std::ostream* out) {
    *out << c.Title;
}

host::RegistryValue Dword(uint32_t v) {
    return {REG_DWORD,
            {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
             static_cast<uint8_t>(v >> 24)}};
}

class SettingsLoad : public Settings, public ::testing::WithParamInterface<LoadCase> {};

// The fields after InitializeSettings alone (before initialise-device forces VerticalFlip).
TEST_P(SettingsLoad, SetsTheFieldsFromTheStoredValues) {
    for (const auto& value : GetParam().Stored)
        host::RegistrySetValue(Key(), value.first, value.second.Type, value.second.Data);
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    EXPECT_EQ(context_.ColorEnable, GetParam().ColorEnable);
    EXPECT_EQ(context_.AutoWhiteBalance, GetParam().AutoWhiteBalance);
    EXPECT_EQ(context_.ExposureTime, GetParam().ExposureTime);
    EXPECT_EQ(context_.GlobalGain, GetParam().GlobalGain);
    EXPECT_EQ(context_.HorizonMirror, GetParam().HorizonMirror);
    EXPECT_EQ(context_.VerticalFlip, GetParam().VerticalFlip);
    EXPECT_TRUE(written_.empty()); // loading writes nothing
}

INSTANTIATE_TEST_SUITE_P(
    Values, SettingsLoad,
    ::testing::Values(
        LoadCase{"AllSix",
                 {{"Color Enable", Dword(0)},
                  {"Auto White Balance", Dword(1)},
                  {"Exposure Time", Dword(1200)},
                  {"Global Gain", Dword(300)},
                  {"Horizon Mirror", Dword(1)},
                  {"Vertical Flip", Dword(1)}},
                 0,
                 1,
                 1200,
                 300,
                 1,
                 1},
        LoadCase{"AboveSixteenBitsKeepsTheLowBits",
                 {{"Exposure Time", Dword(0x12345)}, {"Global Gain", Dword(0xFFFF0001)}},
                 1,
                 0,
                 0x2345,
                 1,
                 0,
                 0},
        LoadCase{"AnyNonZeroIsTrue",
                 {{"Color Enable", Dword(2)}, {"Horizon Mirror", Dword(0x100)}},
                 1,
                 0,
                 750,
                 0,
                 1,
                 0},
        LoadCase{"OnlyExposurePresent", {{"Exposure Time", Dword(100)}}, 1, 0, 100, 0, 0, 0},
        LoadCase{"CaseOfTheNamesDoesNotMatter",
                 {{"EXPOSURE TIME", Dword(100)}, {"color enable", Dword(0)}},
                 0,
                 0,
                 100,
                 0,
                 0,
                 0},
        // Another type with four data bytes is taken by its bytes: the string "1" is 31 00 00 00.
        LoadCase{"OneCharacterString",
                 {{"Exposure Time", {REG_SZ, {0x31, 0, 0, 0}}}, {"Color Enable", {REG_SZ, {0x31, 0, 0, 0}}}},
                 1,
                 0,
                 49,
                 0,
                 0,
                 0},
        // A value longer than the 4-byte variable is not one of ours: its field keeps its value.
        LoadCase{"LongerThanFourBytes",
                 {{"Exposure Time", {REG_QWORD, {0x20, 0x03, 0, 0, 0, 0, 0, 0}}},
                  {"Global Gain", {REG_BINARY, std::vector<uint8_t>(200, 0x7F)}},
                  {"Horizon Mirror", Dword(1)}},
                 1,
                 0,
                 750,
                 0,
                 1,
                 0},
        // A short value is read into a cleared variable: no byte of the value before it survives, and the
        // 4-byte value after it is still read in full.
        LoadCase{"ShortValueAfterALongerOne",
                 {{"Color Enable", Dword(0x0100)},
                  {"Auto White Balance", {REG_BINARY, {0x00}}},
                  {"Exposure Time", Dword(0x0302)},
                  {"Global Gain", {REG_BINARY, {}}},
                  {"Horizon Mirror", {REG_BINARY, {0x00}}},
                  {"Vertical Flip", Dword(0x01000000)}},
                 1,
                 0,
                 0x0302,
                 0,
                 0,
                 1}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.Title); });

TEST_F(Settings, StoredValuesSurviveAStartAndAreWrittenBackNormalised) {
    host::RegistrySetDword(Key(), "Color Enable", 2);
    host::RegistrySetDword(Key(), "Exposure Time", 70000);
    host::RegistrySetDword(Key(), "Horizon Mirror", 5);
    host::RegistrySetDword(Key(), "Vertical Flip", 0);
    InitializeDevice();
    EXPECT_EQ(SaveSettings(nullptr, &context_), 1);
    EXPECT_EQ(WrittenDwords(), (std::vector<uint32_t>{1, 0, 70000 & 0xFFFF, 0, 1, 1}));
    host::RegistryValue value;
    ASSERT_TRUE(host::RegistryGetValue(Key(), "Color Enable", &value));
    EXPECT_EQ(value.Data, (std::vector<uint8_t>{1, 0, 0, 0}));
}

TEST_F(Settings, BooleanFieldHoldingAnyNonZeroByteIsSavedAsOne) {
    InitializeDevice();
    context_.AutoWhiteBalance = 0x80;
    context_.ExposureTime = 0xFFFF;
    EXPECT_EQ(SaveSettings(nullptr, &context_), 1);
    EXPECT_EQ(WrittenDwords(), (std::vector<uint32_t>{1, 1, 0xFFFF, 0, 0, 1}));
}

class SettingsOpenFailure : public Settings, public ::testing::WithParamInterface<const char*> {};

TEST_P(SettingsOpenFailure, LoadKeepsTheInitialValues) {
    host::RegistrySetDword(Key(), "Exposure Time", 100);
    host::InjectFault(GetParam(), {1, 0, STATUS_ACCESS_DENIED});
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    EXPECT_EQ(context_.ExposureTime, 750);
    EXPECT_EQ(context_.ColorEnable, 1);
    EXPECT_EQ(LoadSettings(&context_), FALSE);
}

TEST_P(SettingsOpenFailure, SaveReturnsTheStatusAndWritesNothing) {
    InitializeDevice();
    host::InjectFault(GetParam(), {1, 0, STATUS_ACCESS_DENIED});
    EXPECT_EQ(SaveSettings(nullptr, &context_), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(written_.empty());
    EXPECT_TRUE(host::RegistryValues(Key()).empty());
}

INSTANTIATE_TEST_SUITE_P(Calls, SettingsOpenFailure,
                         ::testing::Values("IoOpenDeviceRegistryKey", "ZwCreateKey"));

TEST_F(Settings, UnknownPdoIsAnOpenFailureToo) {
    DEVICE_OBJECT other{};
    context_.PhysicalDeviceObject = &other;
    EXPECT_EQ(LoadSettings(&context_), FALSE);
    EXPECT_FALSE(NT_SUCCESS(SaveSettings(nullptr, &context_)));
    EXPECT_TRUE(written_.empty());
}

TEST_F(Settings, AFailedReadKeepsThatFieldAndTheOthersAreStillRead) {
    host::RegistrySetDword(Key(), "Color Enable", 0);
    host::RegistrySetDword(Key(), "Auto White Balance", 1);
    host::RegistrySetDword(Key(), "Exposure Time", 100);
    host::InjectFault("ZwQueryValueKey", {2, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    EXPECT_EQ(context_.ColorEnable, 0);
    EXPECT_EQ(context_.AutoWhiteBalance, 0); // its read failed
    EXPECT_EQ(context_.ExposureTime, 100);
    EXPECT_EQ(host::CallCount("ZwQueryValueKey"), 6u); // the six settings and nothing else
}

// An answer whose data lies past the query buffer is not trusted: that field keeps its value.
TEST_F(Settings, AnAnswerPointingPastTheBufferKeepsThatFieldOnly) {
    host::RegistrySetDword(Key(), "Color Enable", 0);
    host::RegistrySetDword(Key(), "Auto White Balance", 1);
    host::InjectFault("ZwQueryValueKey:offset", {1, 1});
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    EXPECT_EQ(context_.ColorEnable, 1); // its answer pointed past the buffer
    EXPECT_EQ(context_.AutoWhiteBalance, 1);
}

TEST_F(Settings, AFailedBufferAllocationKeepsThatFieldOnly) {
    host::RegistrySetDword(Key(), "Color Enable", 0);
    host::RegistrySetDword(Key(), "Exposure Time", 100);
    host::InjectFault("ExAllocatePoolWithTag", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    EXPECT_EQ(context_.ColorEnable, 1);
    EXPECT_EQ(context_.ExposureTime, 100);
}

// Each value is read into a paged block of the driver's tag sized for the full-information record of a
// four-byte value: 24 bytes of header room, the name with its terminator, the data.
TEST_F(Settings, EachValueIsReadIntoABlockSizedForItsNameAndData) {
    const std::vector<host::PoolBlockInfo> before = host::PoolRecentAllocations();
    const uint64_t last = before.empty() ? 0 : before.back().Serial;
    EXPECT_EQ(InitializeSettings(nullptr, &context_), STATUS_SUCCESS);
    std::vector<SIZE_T> sizes;
    for (const host::PoolBlockInfo& block : host::PoolRecentAllocations()) {
        if (block.Serial <= last)
            continue;
        EXPECT_EQ(block.Type, PagedPool);
        EXPECT_EQ(block.Tag, 0x206D6457u); // 'Wdm '
        sizes.push_back(block.Size);
    }
    EXPECT_EQ(sizes, (std::vector<SIZE_T>{54, 66, 56, 52, 58, 56}));
}

TEST_F(Settings, AFailedWriteIsNotReportedAndTheRestAreWritten) {
    InitializeDevice();
    host::InjectFault("ZwSetValueKey", {3, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(SaveSettings(nullptr, &context_), 1);
    auto stored = host::RegistryValues(Key());
    EXPECT_EQ(stored.size(), 5u);
    EXPECT_EQ(stored.count("Exposure Time"), 0u);
    EXPECT_EQ(host::CallCount("ZwSetValueKey"), 6u);
}

TEST_F(Settings, ReadSettingValueReportsTheLengthAndKeepsTheUpperBytesOfItsVariable) {
    host::RegistrySetValue(Key(), "Two", REG_BINARY, {0x34, 0x12});
    HANDLE driver;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driver), STATUS_SUCCESS);
    HANDLE key;
    ASSERT_EQ(CreateKeyPath(driver, KEY_ALL_ACCESS, u"Z40K_Settings", &key), STATUS_SUCCESS);
    ULONG value = 0xAABBCCDD;
    ULONG length = 4;
    EXPECT_EQ(ReadSettingValue(key, u"Two", sizeof(u"Two"), &value, &length), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xAABB1234u);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(ReadSettingValue(key, u"Missing", sizeof(u"Missing"), &value, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, 0xAABB1234u);
    ZwClose(key);
    ZwClose(driver);
}

TEST_F(Settings, CreateKeyPathOpensEveryLevelFromTheRoot) {
    host::RegistrySetObserver(nullptr);
    HANDLE driver;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driver), STATUS_SUCCESS);
    HANDLE key;
    ASSERT_EQ(CreateKeyPath(driver, KEY_ALL_ACCESS, u"One\\Two\\Three", &key), STATUS_SUCCESS);
    EXPECT_EQ(WriteSettingValue(key, u"V", 9), STATUS_SUCCESS);
    ZwClose(key);
    host::RegistryValue value;
    ASSERT_TRUE(host::RegistryGetValue(host::DriverKeyPath() + "\\One\\Two\\Three", "V", &value));
    EXPECT_EQ(value.Type, REG_DWORD);
    EXPECT_EQ(host::CallCount("ZwCreateKey"), 3u); // one create per level

    host::InjectFault("ZwCreateKey", {2, 1, STATUS_ACCESS_DENIED});
    key = nullptr;
    EXPECT_EQ(CreateKeyPath(driver, KEY_ALL_ACCESS, u"A\\B\\C", &key), STATUS_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(host::CallCount("ZwCreateKey"), 2u); // stopped at the failing level
    EXPECT_TRUE(host::RegistryKeyExists(host::DriverKeyPath() + "\\A"));
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath() + "\\A\\B"));
    ZwClose(driver);
}

} // namespace
