#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        std::memset(&pdo_, 0, sizeof pdo_);
        host::RegistrySetDevicePdo(&pdo_);
    }
    void TearDown() override {
        EXPECT_EQ(host::RegistryOpenHandles(), 0u);
        host::ResetKernel();
    }

    HANDLE OpenDriverKey(ACCESS_MASK access = READ_CONTROL) {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, access, &key), STATUS_SUCCESS);
        return key;
    }

    static NTSTATUS CreateKey(HANDLE root, const char16_t* name, ACCESS_MASK access, HANDLE* key,
                              ULONG* disposition = nullptr) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, root, nullptr);
        return ZwCreateKey(key, access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
    }

    static NTSTATUS SetDword(HANDLE key, const char16_t* name, ULONG value) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return ZwSetValueKey(key, &text, 0, REG_DWORD, &value, sizeof value);
    }

    static NTSTATUS Query(HANDLE key, const char16_t* name, std::vector<UCHAR>* buffer, ULONG* result) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return ZwQueryValueKey(key, &text, KeyValueFullInformation, buffer->data(),
                               static_cast<ULONG>(buffer->size()), result);
    }

    std::string Settings() const { return host::DriverKeyPath() + "\\Z40K_Settings"; }

    DEVICE_OBJECT pdo_;
};

TEST_F(Registry, DriverKeyOfThePdoIsCreatedOnFirstOpen) {
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath()));
    HANDLE key = OpenDriverKey();
    ASSERT_NE(key, nullptr);
    EXPECT_TRUE(host::RegistryKeyExists(host::DriverKeyPath()));
    EXPECT_EQ(host::DriverKeyPath(), "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                                     "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000");
    EXPECT_EQ(host::RegistryOpenHandles(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST_F(Registry, OtherDeviceObjectsAndKeyTypesAreRefused) {
    DEVICE_OBJECT other{};
    HANDLE key = nullptr;
    EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(&other, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &key)));
    EXPECT_FALSE(NT_SUCCESS(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DEVICE, READ_CONTROL, &key)));
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath()));
}

TEST_F(Registry, SecondPdoGetsTheNextInstance) {
    DEVICE_OBJECT second{};
    host::RegistrySetDevicePdo(&second);
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&second, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"x", 1), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(host::RegistryGetValue(host::DriverKeyPathOf(1), "x", nullptr));
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath()));
}

TEST_F(Registry, CreateKeyCreatesOnceThenOpensWhateverTheCase) {
    HANDLE driver = OpenDriverKey();
    HANDLE key;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(driver, u"Z40K_Settings", KEY_ALL_ACCESS, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, 1u); // created
    EXPECT_EQ(SetDword(key, u"Exposure Time", 750), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(CreateKey(driver, u"z40k_SETTINGS", KEY_ALL_ACCESS, &key, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, 2u); // opened
    std::vector<UCHAR> buffer(64);
    ULONG result;
    EXPECT_EQ(Query(key, u"EXPOSURE TIME", &buffer, &result), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(driver);
    EXPECT_EQ(host::RegistryValues(Settings()).count("Exposure Time"), 1u); // stored under its first spelling
}

TEST_F(Registry, CreateKeyMakesOnlyTheLastLevel) {
    HANDLE driver = OpenDriverKey();
    HANDLE key = nullptr;
    EXPECT_EQ(CreateKey(driver, u"A\\B", KEY_ALL_ACCESS, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath() + "\\A"));
    ASSERT_EQ(CreateKey(driver, u"A", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(CreateKey(driver, u"A\\B", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_TRUE(host::RegistryKeyExists(host::DriverKeyPath() + "\\a\\b"));
    EXPECT_NE(CreateKey(driver, u"A\\\\C", KEY_ALL_ACCESS, &key), STATUS_SUCCESS); // empty level
    ZwClose(driver);
}

TEST_F(Registry, FullInformationHasTheWindowsLayout) {
    host::RegistrySetValue(Settings(), "Exposure Time", REG_DWORD, {0xEE, 0x02, 0x00, 0x00});
    HANDLE driver = OpenDriverKey();
    HANDLE key;
    ASSERT_EQ(CreateKey(driver, u"Z40K_Settings", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(80, 0xAA);
    ULONG result = 0;
    ASSERT_EQ(Query(key, u"Exposure Time", &buffer, &result), STATUS_SUCCESS);
    // Fixed part (20 bytes), the 26-byte name, data at the next 4-byte boundary (48), 4 data bytes.
    EXPECT_EQ(result, 52u);
    const ULONG* fields = reinterpret_cast<const ULONG*>(buffer.data());
    EXPECT_EQ(fields[0], 0u);        // TitleIndex
    EXPECT_EQ(fields[1], REG_DWORD); // Type
    EXPECT_EQ(fields[2], 48u);       // DataOffset
    EXPECT_EQ(fields[3], 4u);        // DataLength
    EXPECT_EQ(fields[4], 26u);       // NameLength
    EXPECT_EQ(std::memcmp(buffer.data() + 20, u"Exposure Time", 26), 0);
    EXPECT_EQ(buffer[48], 0xEE);
    EXPECT_EQ(buffer[49], 0x02);
    EXPECT_EQ(buffer[52], 0xAA); // nothing written past the answer
    ZwClose(key);
    ZwClose(driver);
}

struct SizeCase {
    size_t Buffer;
    NTSTATUS Expected;
};

class RegistryQuerySizes : public Registry, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(RegistryQuerySizes, ReportTheNeededSizeWhateverTheOutcome) {
    host::RegistrySetDword(Settings(), "Global Gain", 7); // 22-byte name: data at 44, needs 48
    HANDLE driver = OpenDriverKey();
    HANDLE key;
    ASSERT_EQ(CreateKey(driver, u"Z40K_Settings", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::vector<UCHAR> exact(GetParam().Buffer, 0xAA); // exactly this size, so an overrun is caught
    ULONG result = 0;
    EXPECT_EQ(Query(key, u"Global Gain", &exact, &result), GetParam().Expected);
    EXPECT_EQ(result, 48u);
    ZwClose(key);
    ZwClose(driver);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RegistryQuerySizes,
    ::testing::Values(SizeCase{0, STATUS_BUFFER_TOO_SMALL}, SizeCase{19, STATUS_BUFFER_TOO_SMALL},
                      SizeCase{20, STATUS_BUFFER_OVERFLOW}, SizeCase{44, STATUS_BUFFER_OVERFLOW},
                      SizeCase{47, STATUS_BUFFER_OVERFLOW}, SizeCase{48, STATUS_SUCCESS}));

TEST_F(Registry, MissingValueIsNotFound) {
    HANDLE driver = OpenDriverKey();
    HANDLE key;
    ASSERT_EQ(CreateKey(driver, u"Z40K_Settings", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(64);
    ULONG result;
    EXPECT_EQ(Query(key, u"Color Enable", &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(key);
    ZwClose(driver);
}

TEST_F(Registry, AccessOfTheHandleIsEnforced) {
    HANDLE driver = OpenDriverKey(READ_CONTROL);
    EXPECT_EQ(SetDword(driver, u"x", 1), STATUS_ACCESS_DENIED);
    std::vector<UCHAR> buffer(64);
    ULONG result;
    EXPECT_EQ(Query(driver, u"x", &buffer, &result), STATUS_ACCESS_DENIED);
    HANDLE reader;
    ASSERT_EQ(CreateKey(driver, u"S", KEY_READ, &reader), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(reader, u"x", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Query(reader, u"x", &buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(reader);
    ZwClose(driver);
    EXPECT_TRUE(host::RegistryValues(host::DriverKeyPath()).empty());
}

TEST_F(Registry, SetValueKeepsAnyTypeAndLengthAndTellsTheObserver) {
    std::vector<std::string> seen;
    host::RegistrySetObserver(
        [&](const std::string& path, const std::string& name, const host::RegistryValue& v) {
            seen.push_back(path + "|" + name + "|" + std::to_string(v.Type) + "|" +
                           std::to_string(v.Data.size()));
        });
    HANDLE driver = OpenDriverKey();
    HANDLE key;
    ASSERT_EQ(CreateKey(driver, u"z40k_settings", KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::vector<UCHAR> blob(300, 0x5A);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"Blob");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_BINARY, blob.data(), 300), STATUS_SUCCESS);
    EXPECT_EQ(SetDword(key, u"Vertical Flip", 1), STATUS_SUCCESS);
    ZwClose(key);
    ZwClose(driver);
    host::RegistryValue value;
    ASSERT_TRUE(host::RegistryGetValue(host::DriverKeyPath() + "\\z40k_settings", "blob", &value));
    EXPECT_EQ(value.Type, REG_BINARY);
    EXPECT_EQ(value.Data, std::vector<uint8_t>(300, 0x5A));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], host::DriverKeyPath() + "\\z40k_settings|Blob|3|300");
    EXPECT_EQ(seen[1], host::DriverKeyPath() + "\\z40k_settings|Vertical Flip|4|4");
}

class RegistryFaults : public Registry, public ::testing::WithParamInterface<const char*> {};

// Every registry call can be made to fail, and a failed call changes nothing and leaves no handle.
TEST_P(RegistryFaults, FailOnDemandWithTheChosenStatus) {
    const std::string call = GetParam();
    host::RegistrySetDword(Settings(), "v", 1);
    constexpr NTSTATUS injected = static_cast<NTSTATUS>(0xC0000099);
    host::InjectFault(call, {1, 1, injected});
    HANDLE driver = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, READ_CONTROL, &driver);
    if (call == "IoOpenDeviceRegistryKey") {
        EXPECT_EQ(status, injected);
        EXPECT_EQ(driver, nullptr);
        return;
    }
    ASSERT_EQ(status, STATUS_SUCCESS);
    HANDLE key = nullptr;
    status = CreateKey(driver, u"Z40K_Settings", KEY_ALL_ACCESS, &key);
    if (call == "ZwCreateKey") {
        EXPECT_EQ(status, injected);
        EXPECT_EQ(key, nullptr);
    } else {
        ASSERT_EQ(status, STATUS_SUCCESS);
        std::vector<UCHAR> buffer(64);
        ULONG result;
        status = Query(key, u"v", &buffer, &result);
        EXPECT_EQ(status, call == "ZwQueryValueKey" ? injected : STATUS_SUCCESS);
        status = SetDword(key, u"v", 2);
        EXPECT_EQ(status, call == "ZwSetValueKey" ? injected : STATUS_SUCCESS);
        host::RegistryValue value;
        ASSERT_TRUE(host::RegistryGetValue(Settings(), "v", &value));
        EXPECT_EQ(value.Data[0], call == "ZwSetValueKey" ? 1 : 2);
        ZwClose(key);
    }
    ZwClose(driver);
}

INSTANTIATE_TEST_SUITE_P(Calls, RegistryFaults,
                         ::testing::Values("IoOpenDeviceRegistryKey", "ZwCreateKey", "ZwQueryValueKey",
                                           "ZwSetValueKey"));

TEST_F(Registry, HandleOfADeletedKeyNoLongerReachesTheTree) {
    HANDLE driver = OpenDriverKey(KEY_ALL_ACCESS);
    host::RegistryClear();
    EXPECT_FALSE(NT_SUCCESS(SetDword(driver, u"x", 1)));
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath()));
    ZwClose(driver);
    std::vector<UCHAR> buffer(64);
    ULONG result;
    EXPECT_EQ(Query(driver, u"x", &buffer, &result), STATUS_INVALID_HANDLE);
}

} // namespace
