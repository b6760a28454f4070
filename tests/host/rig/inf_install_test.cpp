// z40k.inf installed for the simulated camera as the platform's installer installs it, and that INF
// broken in each way the installer refuses: one line naming the file and the line, and nothing written.
#include "host/kernel/kernel_host.h"
#include "host/rig/inf_file.h"
#include "host/rig/inf_install.h"
#include "host/simcam/usb_ids.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string SERVICE_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\z40k";

std::string Text(const host::RegistryValue& V) {
    std::string s;
    for (size_t i = 0; i + 1 < V.Data.size() && V.Data[i] != 0; i += 2)
        s += char(V.Data[i]);
    return s;
}

uint32_t Dword(const std::string& Key, const std::string& Name) {
    host::RegistryValue v{};
    if (!host::RegistryGetValue(Key, Name, &v) || v.Type != REG_DWORD || v.Data.size() != 4)
        return 0xFFFFFFFF;
    return v.Data[0] | v.Data[1] << 8 | v.Data[2] << 16 | uint32_t(v.Data[3]) << 24;
}

std::string String(const std::string& Key, const std::string& Name) {
    host::RegistryValue v{};
    return host::RegistryGetValue(Key, Name, &v) ? Text(v) : "<none>";
}

// The line of the INF that holds Needle.
unsigned LineOf(const std::string& Inf, const std::string& Needle) {
    const size_t at = Inf.find(Needle);
    return at == std::string::npos ? 0 : unsigned(std::count(Inf.begin(), Inf.begin() + at, '\n') + 1);
}

class InfInstall : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        driveC_ = fs::temp_directory_path() / ("z40k-inf-c-" + std::to_string(::getpid()));
        fs::remove_all(driveC_);
        host::FilesSetDriveC(driveC_.string());
        package_ = driveC_.string() + "-package.sys";
        std::ofstream(package_) << "the image";
    }
    void TearDown() override {
        fs::remove_all(driveC_);
        fs::remove(package_);
        host::ResetKernel();
    }
    bool Install(const std::string& Text, std::string* Error) {
        rig::InfSource inf{"z40k.inf", Text, {{"z40k.sys", package_}}};
        return rig::InstallFromInf(inf, simcam::UsbHardwareId(), host::DriverKeyPath(), &installed_, Error);
    }
    fs::path driveC_;
    std::string package_;
    rig::InstalledDriver installed_;
};

} // namespace

// What the platform's installer leaves for the device: the driver key the stream class reads, a
// demand-start kernel service whose image path names the copied file, and both interfaces with the
// capture proxy.
TEST_F(InfInstall, TheProjectsInfInstallsTheCameraAsAStreamClassMinidriver) {
    std::string error;
    ASSERT_TRUE(Install(rig::BuiltInInf().Text, &error)) << error;
    const std::string key = host::DriverKeyPath();
    EXPECT_EQ(String(key, "NTMPDriver"), "z40k.sys");
    host::RegistryValue pageOut{};
    ASSERT_TRUE(host::RegistryGetValue(key, "PageOutWhenUnopened", &pageOut));
    EXPECT_EQ(pageOut.Type, REG_BINARY);
    EXPECT_EQ(pageOut.Data, std::vector<uint8_t>{1});
    EXPECT_EQ(String(key, "DriverDesc"), "Z40K USB 2.0 Camera");
    EXPECT_EQ(String(key, "MatchingDeviceId"), "usb\\vid_1209&pid_0001");
    EXPECT_EQ(String(key, "InfSection"), "Z40K.Install.NTx86");
    EXPECT_EQ(String(key, "DriverVersion"), Z40K_VERSION ".0")
        << "the INF gives another version than the build";
    EXPECT_EQ(Dword(SERVICE_KEY, "Type"), 1u);  // kernel driver
    EXPECT_EQ(Dword(SERVICE_KEY, "Start"), 3u); // on demand
    EXPECT_EQ(Dword(SERVICE_KEY, "ErrorControl"), 1u);
    EXPECT_EQ(String(SERVICE_KEY, "ImagePath"), "system32\\DRIVERS\\z40k.sys");
    EXPECT_EQ(installed_.Service, "z40k");
    EXPECT_EQ(installed_.DriverFile, driveC_.string() + "/WINDOWS/system32/drivers/z40k.sys");
    std::ifstream copy(installed_.DriverFile);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(copy), {}), "the image");
    const std::vector<std::string> interfaces = {"{65E8773D-8F56-11D0-A3B9-00A0C9223196}",
                                                 "{6994AD05-93EF-11D0-A3CC-00A0C9223196}"};
    EXPECT_EQ(installed_.Interfaces, interfaces);
    for (const std::string& guid : interfaces) {
        const std::string parameters =
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\" + guid +
            "\\##?#USB#VID_1209&PID_0001#0000#" + guid + "\\#GLOBAL\\Device Parameters";
        EXPECT_EQ(String(parameters, "CLSID"), "{17CCA71B-ECD7-11D0-B908-00A0C9223196}");
        EXPECT_EQ(String(parameters, "FriendlyName"), "Z40K USB 2.0 Camera");
    }
}

namespace {

struct InfFault {
    const char* What;
    std::string From, To; // the edit: From replaced by To
    std::string Reason;
};

// One edit of the project's INF per fault the installer refuses.
std::vector<InfFault> InfFaults() {
    return {
        {"models section missing", "[Z40K.NTx86]", "[Z40K.Other]", "missing section [Z40K.NTx86]"},
        {"install section missing", "[Z40K.Install.NTx86]\n", "[Elsewhere]\n",
         "missing section [Z40K.Install]"},
        {"AddReg section missing", "AddReg    = Z40K.DriverKey", "AddReg    = Z40K.Nowhere",
         "missing section [Z40K.Nowhere]"},
        {"services missing", "[Z40K.Install.NTx86.Services]", "[Z40K.Unused]",
         "missing section [Z40K.Install.NTx86.Services]"},
        {"service section missing", "AddService = z40k, 0x00000002, Z40K.Service",
         "AddService = z40k, 0x00000002, Z40K.None", "missing section [Z40K.None]"},
        {"bad class GUID", "ClassGUID   = {6BDD1FC6-810F-11D0-BEC7-08002BE2092F}",
         "ClassGUID   = {6BDD1FC6-810F-11D0-BEC7-08002BE2092}",
         "bad GUID '{6BDD1FC6-810F-11D0-BEC7-08002BE2092}'"},
        {"bad interface GUID", "\"{6994AD05-93EF-11D0-A3CC-00A0C9223196}\"",
         "\"{6994AD05-93EF-11D0-A3CC-00A0C92231}\"", "bad GUID '{6994AD05-93EF-11D0-A3CC-00A0C92231}'"},
        {"other class", "{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}", "{4D36E96C-E325-11CE-BFC1-08002BE10318}",
         "not the imaging class"},
        {"unknown directive", "CopyFiles = Z40K.CopyFiles", "CopyFile = Z40K.CopyFiles",
         "unknown directive 'CopyFile' in [Z40K.Install.NTx86]"},
        {"unknown service directive", "ErrorControl  = 1", "ErrorControll = 1",
         "unknown directive 'ErrorControll' in [Z40K.Service]"},
        {"line too long", "[Strings]\n", "[Strings]\nLong = \"" + std::string(4100, 'x') + "\"\n",
         "line longer than 4096 characters"},
        {"string without a value", "%Z40K.DeviceDesc% = Z40K.Install", "%Z40K.Desc% = Z40K.Install",
         "%Z40K.Desc% is not in [Strings]"},
        {"unclosed quote", "Provider           = \"z40k\"", "Provider           = \"z40k",
         "quoted string is not closed"},
        {"other hardware", "USB\\VID_1209&PID_0001", "USB\\VID_1209&PID_0002",
         "no model for USB\\VID_1209&PID_0001"},
        {"system INF the host lacks", "Include   = ks.inf, kscaptur.inf", "Include   = ks.inf, ksproxy.inf",
         "includes ksproxy.inf"},
        {"needed section missing", "KSCAPTUR.Registration.NT", "KSCAPTUR.Install",
         "needs [KSCAPTUR.Install]"},
        {"not a kernel driver", "ServiceType   = 1 ", "ServiceType   = 16 ", "ServiceType '16'"},
        {"file without a source disk", "z40k.sys = 1\n", "z40k.bin = 1\n",
         "z40k.sys is not in [SourceDisksFiles]"},
        {"no signature", "Signature   = \"$Windows NT$\"", "Signature   = \"$Windows 95$\"",
         "no Windows NT signature"},
    };
}

} // namespace

// Each fault: the message names the file and the line where the installer found it, and nothing of the
// INF reaches the registry or drive C.
TEST_F(InfInstall, RefusesEachFaultyInfWithItsFileAndLineAndInstallsNothing) {
    const std::string good = rig::BuiltInInf().Text;
    for (const InfFault& c : InfFaults()) {
        std::string inf = good;
        const size_t at = inf.find(c.From);
        ASSERT_NE(at, std::string::npos) << c.What;
        inf.replace(at, c.From.size(), c.To);
        std::string error;
        host::ResetKernel();
        host::FilesSetDriveC(driveC_.string());
        EXPECT_FALSE(Install(inf, &error)) << c.What;
        EXPECT_EQ(error.rfind("z40k.inf:", 0), 0u) << c.What << ": " << error;
        EXPECT_NE(error.find(c.Reason), std::string::npos) << c.What << ": " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << c.What;
        // The line named holds the fault, or is the header of the section where it is looked for.
        const unsigned line = unsigned(std::stoul(error.substr(9)));
        EXPECT_GT(line, 0u) << c.What;
        EXPECT_LE(line, unsigned(std::count(inf.begin(), inf.end(), '\n')) + 1) << c.What;
        EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath())) << c.What;
        EXPECT_FALSE(host::RegistryKeyExists(SERVICE_KEY)) << c.What;
        EXPECT_FALSE(fs::exists(driveC_ / "WINDOWS")) << c.What;
    }
    // The line is the faulty entry's own where there is one.
    std::string inf = good, error;
    inf.replace(inf.find("CopyFiles = Z40K.CopyFiles"), 9, "CopyFile ");
    EXPECT_FALSE(Install(inf, &error));
    EXPECT_EQ(error, "z40k.inf:" + std::to_string(LineOf(good, "CopyFiles = Z40K.CopyFiles")) +
                         ": unknown directive 'CopyFile' in [Z40K.Install.NTx86]");
}

// The reader's syntax as the installer's: continued lines, comments but not inside quotes, doubled
// quotes, %% and directory IDs kept, merged sections of one name in any case, CRLF and a byte-order mark.
TEST(InfReader, ReadsEverySyntaxTheInfUses) {
    const std::string text = "\xEF\xBB\xBF[Strings]\r\nName = \"a; b\"\r\n"
                             "[One] ; comment\r\nKey = first, \\\r\n   second ; gone\r\n"
                             "bare value\r\n\"q\"\"uoted\" = %Name%, 100%%, %12%\\x.sys\r\n"
                             "[one]\r\nMerged = , ,last\r\n";
    rig::InfFile inf;
    std::string error;
    ASSERT_TRUE(rig::ParseInf(text, "t.inf", &inf, &error)) << error;
    ASSERT_EQ(inf.Sections.size(), 2u);
    const rig::InfSection* one = inf.Find("ONE");
    ASSERT_NE(one, nullptr);
    ASSERT_EQ(one->Entries.size(), 4u);
    EXPECT_EQ(one->Entries[0].Key, "Key");
    EXPECT_EQ(one->Entries[0].Fields, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(one->Entries[0].Line, 4u);
    EXPECT_EQ(one->Entries[1].Key, "");
    EXPECT_EQ(one->Entries[1].Fields, (std::vector<std::string>{"bare value"}));
    EXPECT_EQ(one->Entries[2].Key, "q\"uoted");
    EXPECT_EQ(one->Entries[2].Fields, (std::vector<std::string>{"a; b", "100%", "%12%\\x.sys"}));
    EXPECT_EQ(one->Entries[3].Fields, (std::vector<std::string>{"", "", "last"}));
    EXPECT_EQ(one->Entries[3].Line, 9u);

    for (const auto& bad : std::vector<std::pair<std::string, std::string>>{
             {"Key = 1\n", "t.inf:1: an entry before the first section"},
             {"[A]\n[B\n", "t.inf:2: a section header must be [name] alone on its line"},
             {"[" + std::string(256, 's') + "]\n", "t.inf:1: section name longer than 255 characters"},
             {std::string("[A]\nx\0y\n", 8), "t.inf:2: a NUL character: not a text INF"}}) {
        EXPECT_FALSE(rig::ParseInf(bad.first, "t.inf", &inf, &error));
        EXPECT_EQ(error, bad.second);
    }
}

// The INF names the very hardware ID the simulated camera has.
TEST(InfReader, TheInfsHardwareIdIsTheSimulatedCamerasOne) {
    EXPECT_NE(rig::BuiltInInf().Text.find(simcam::UsbHardwareId()), std::string::npos)
        << simcam::UsbHardwareId();
}
