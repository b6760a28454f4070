#include "host/kernel/kernel_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class RegFile : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        char pattern[] = "/tmp/z40k-reg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/registry.reg";
    }
    void TearDown() override {
        host::ResetKernel();
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    void WriteText(const std::string& text) const {
        std::ofstream out(file_, std::ios::binary);
        out << text;
    }
    std::string ReadText() const {
        std::ifstream in(file_, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool Exists(const std::string& path) const {
        struct stat info;
        return stat(path.c_str(), &info) == 0;
    }

    std::string dir_;
    std::string file_;
};

const char* const KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\"
                        "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\0000\\Z40K_Settings";

TEST_F(RegFile, SettingsAreWrittenAsRegeditWritesThem) {
    host::RegistrySetDword(KEY, "Color Enable", 1);
    host::RegistrySetDword(KEY, "Exposure Time", 750);
    std::string error;
    ASSERT_TRUE(host::RegistrySaveFile(file_, &error)) << error;
    std::string text = ReadText();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n\r\n", 0), 0u);
    EXPECT_NE(text.find(std::string("\r\n[") + KEY +
                        "]\r\n\"Color Enable\"=dword:00000001\r\n"
                        "\"Exposure Time\"=dword:000002ee\r\n"),
              std::string::npos)
        << text;
    // Every level is its own section, as an import creates keys by their sections.
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SYSTEM]\r\n"), std::string::npos);
    EXPECT_EQ(text.find("[HKEY_LOCAL_MACHINE]"), std::string::npos);
}

TEST_F(RegFile, EveryTypeSurvivesARoundTrip) {
    std::vector<uint8_t> long_binary(100);
    for (size_t i = 0; i < long_binary.size(); ++i)
        long_binary[i] = static_cast<uint8_t>(i * 7);
    host::RegistrySetDword(KEY, "Exposure Time", 0x12345);
    host::RegistrySetValue(KEY, "One", REG_SZ, {0x31, 0, 0, 0});
    host::RegistrySetValue(KEY, "Say \"hi\" \\ there", REG_SZ, {'a', 0, '"', 0, '\\', 0, 0, 0});
    host::RegistrySetValue(KEY, "", REG_SZ, {'d', 0, 0, 0});   // the default value
    host::RegistrySetValue(KEY, "Short", REG_DWORD, {0x01});   // a DWORD of the wrong length keeps its bytes
    host::RegistrySetValue(KEY, "Odd string", REG_SZ, {0x31}); // not a well-formed string
    host::RegistrySetValue(KEY, "Blob", REG_BINARY, long_binary);
    host::RegistrySetValue(KEY, "Empty", REG_BINARY, {});
    host::RegistrySetValue(KEY, "Multi", REG_MULTI_SZ, {'a', 0, 0, 0, 0, 0});
    host::RegistrySetValue(KEY, "Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
    host::RegistrySetValue(KEY, "Odd type", 0x12345678, {9});
    host::RegistryCreateKey(std::string(KEY) + "\\Empty subkey");
    auto before = host::RegistryValues(KEY);

    std::string error;
    ASSERT_TRUE(host::RegistrySaveFile(file_, &error)) << error;
    std::string text = ReadText();
    EXPECT_NE(text.find("@=\"d\""), std::string::npos);
    EXPECT_NE(text.find("\"Say \\\"hi\\\" \\\\ there\"=\"a\\\"\\\\\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"Quad\"=hex(b):01,02,03,04,05,06,07,08"), std::string::npos);
    EXPECT_NE(text.find("\"Short\"=hex(4):01"), std::string::npos);
    EXPECT_NE(text.find("\"Blob\"=hex:00,07,0e,"), std::string::npos);
    // Long hex values are wrapped within 80 columns with a trailing backslash.
    std::istringstream lines(text);
    std::string line;
    bool continued = false;
    while (std::getline(lines, line)) {
        if (line.find("hex") != std::string::npos || line.rfind("  ", 0) == 0) {
            EXPECT_LE(line.size(), 81u) << line;
        }
        continued = continued || (line.size() >= 2 && line[line.size() - 2] == '\\');
    }
    EXPECT_TRUE(continued);

    host::RegistryClear();
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    auto after = host::RegistryValues(KEY);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& entry : before) {
        ASSERT_EQ(after.count(entry.first), 1u) << entry.first;
        EXPECT_EQ(after[entry.first].Type, entry.second.Type) << entry.first;
        EXPECT_EQ(after[entry.first].Data, entry.second.Data) << entry.first;
    }
    EXPECT_TRUE(host::RegistryKeyExists(std::string(KEY) + "\\Empty subkey"));
}

TEST_F(RegFile, ReadsWhatAPersonOrRegeditWrites) {
    WriteText("Windows Registry Editor Version 5.00\n"
              "; settings by hand, LF line ends\n"
              "\n"
              "[hkey_local_machine\\Software\\Test]\n"
              "\"A\"=dword:2\n"
              "\"B\"=hex:01,02,\\\n"
              "  03,04\n"
              "\"C\" = \"text\"\n"
              "\"Gone\"=dword:1\n"
              "\"Gone\"=-\n"
              "[HKEY_LOCAL_MACHINE\\Software\\Removed]\n"
              "[-HKEY_LOCAL_MACHINE\\Software\\Removed]\n");
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    host::RegistryValue value;
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\SOFTWARE\\TEST", "a", &value));
    EXPECT_EQ(value.Data, (std::vector<uint8_t>{2, 0, 0, 0}));
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\Software\\Test", "B", &value));
    EXPECT_EQ(value.Data, (std::vector<uint8_t>{1, 2, 3, 4}));
    ASSERT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\Software\\Test", "C", &value));
    EXPECT_EQ(value.Type, REG_SZ);
    EXPECT_EQ(value.Data, (std::vector<uint8_t>{'t', 0, 'e', 0, 'x', 0, 't', 0, 0, 0}));
    EXPECT_FALSE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\Software\\Test", "Gone", nullptr));
    EXPECT_FALSE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\Software\\Removed"));
}

TEST_F(RegFile, ReadsTheUtf16FilesRegeditExports) {
    std::string utf8 =
        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\T]\r\n\"V\"=dword:00000005\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char c : utf8) {
        utf16 += c;
        utf16 += '\0';
    }
    WriteText(utf16);
    std::string error;
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    EXPECT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\T", "V", nullptr));
}

struct Malformed {
    const char* Text;
    int Line;
};

class RegFileMalformed : public RegFile, public ::testing::WithParamInterface<Malformed> {};

TEST_P(RegFileMalformed, IsRefusedNamingTheLineAndKeepsTheTree) {
    host::RegistrySetDword(KEY, "Exposure Time", 750);
    WriteText(GetParam().Text);
    std::string error;
    EXPECT_FALSE(host::RegistryLoadFile(file_, &error));
    EXPECT_NE(error.find(file_ + ":" + std::to_string(GetParam().Line) + ":"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_TRUE(host::RegistryGetValue(KEY, "Exposure Time", nullptr));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RegFileMalformed,
    ::testing::Values(Malformed{"REGEDIT5\r\n", 1}, Malformed{"\xEF\xBB\xBF; only a comment\r\n", 1},
                      Malformed{"Windows Registry Editor Version 5.00\r\n\"A\"=dword:1\r\n", 2},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_NOWHERE\\X]\r\n", 2},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X\r\n", 2},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n\r\n"
                                "\"A\"=dword:123456789\r\n",
                                4},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                                "\"A\"=hex:01,zz\r\n",
                                3},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                                "\"A=dword:1\r\n",
                                3},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                                "\"A\"=qword:1\r\n",
                                3},
                      Malformed{"Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\X]\r\n"
                                "\"A\"=hex:01,\\\r\n",
                                3}));

// Hostile files: a key nested past the registry's depth limit is refused with a message instead of
// overflowing the stack at save; tens of thousands of siblings load in linear time; an empty file (a
// registry created empty) is an empty registry; a file that is not regular or too big is never read.
TEST_F(RegFile, HostileFilesAreRefusedOrReadSafely) {
    auto nested = [](size_t Levels) {
        std::string path = "HKEY_LOCAL_MACHINE";
        for (size_t i = 1; i < Levels; ++i)
            path += "\\k";
        return "Windows Registry Editor Version 5.00\r\n\r\n[" + path + "]\r\n\"v\"=dword:1\r\n";
    };
    std::string error;
    host::RegistrySetDword(KEY, "Exposure Time", 750);
    WriteText(nested(30000));
    EXPECT_FALSE(host::RegistryLoadFile(file_, &error));
    EXPECT_NE(error.find(file_ + ":3: a key nested deeper than 512 levels"), std::string::npos) << error;
    EXPECT_TRUE(host::RegistryGetValue(KEY, "Exposure Time", nullptr));
    WriteText(nested(512));
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    ASSERT_TRUE(host::RegistrySaveFile(file_, &error)) << error;
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    std::string deepest = "HKEY_LOCAL_MACHINE";
    for (int i = 1; i < 512; ++i)
        deepest += "\\K";
    EXPECT_TRUE(host::RegistryGetValue(deepest, "V", nullptr));

    std::string siblings = "Windows Registry Editor Version 5.00\r\n";
    for (int i = 0; i < 50000; ++i)
        siblings += "[HKEY_LOCAL_MACHINE\\S\\key" + std::to_string(i) + "]\r\n";
    siblings += "[-HKEY_LOCAL_MACHINE\\S\\KEY2]\r\n[HKEY_LOCAL_MACHINE\\S\\KEY49999]\r\n\"v\"=dword:7\r\n";
    WriteText(siblings);
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    EXPECT_FALSE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\S\\key2"));
    EXPECT_TRUE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\S\\key3"));
    EXPECT_TRUE(host::RegistryGetValue("HKEY_LOCAL_MACHINE\\S\\key49999", "V", nullptr));

    WriteText("");
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    EXPECT_FALSE(host::RegistryKeyExists("HKEY_LOCAL_MACHINE\\S"));

    for (const std::string& bad : {std::string("/dev/zero"), dir_}) {
        EXPECT_FALSE(host::RegistryLoadFile(bad, &error));
        EXPECT_EQ(error, bad + ": not a regular file");
    }
    ASSERT_EQ(truncate(file_.c_str(), (16 << 20) + 1), 0);
    EXPECT_FALSE(host::RegistryLoadFile(file_, &error));
    EXPECT_EQ(error, file_ + ": larger than 16 MiB");
}

TEST_F(RegFile, UnreadableFileIsAnError) {
    std::string error;
    EXPECT_FALSE(host::RegistryLoadFile(dir_ + "/absent.reg", &error));
    EXPECT_NE(error.find("absent.reg"), std::string::npos);
}

TEST_F(RegFile, SaveReplacesTheFileWholeAndLeavesNoTemporary) {
    WriteText("old content that is longer than the new registry file will be ......................"
              "..................................................................................");
    host::RegistrySetDword(KEY, "Global Gain", 3);
    std::string error;
    ASSERT_TRUE(host::RegistrySaveFile(file_, &error)) << error;
    EXPECT_EQ(ReadText().find("old content"), std::string::npos);
    EXPECT_FALSE(Exists(file_ + ".tmp"));
    host::RegistryClear();
    ASSERT_TRUE(host::RegistryLoadFile(file_, &error)) << error;
    EXPECT_TRUE(host::RegistryGetValue(KEY, "Global Gain", nullptr));
}

TEST_F(RegFile, FailedSaveLeavesTheOldFileAndNoTemporary) {
    // A directory where the file should be: the new file is written but cannot replace it.
    ASSERT_EQ(mkdir(file_.c_str(), 0755), 0);
    host::RegistrySetDword(KEY, "Global Gain", 3);
    std::string error;
    EXPECT_FALSE(host::RegistrySaveFile(file_, &error));
    EXPECT_NE(error.find(file_), std::string::npos);
    EXPECT_FALSE(Exists(file_ + ".tmp"));
    // A folder that does not exist: nothing is written anywhere.
    EXPECT_FALSE(host::RegistrySaveFile(dir_ + "/missing/registry.reg", &error));
    EXPECT_FALSE(Exists(dir_ + "/missing"));
}

} // namespace
