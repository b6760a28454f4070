#include "host/rig/inf_install.h"

#include "host/kernel/kernel_host.h"
#include "host/rig/inf_file.h"
#include "platform/nt_types.h"

#include <cctype>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>

namespace rig {
namespace {

constexpr const char* MACHINE = "HKEY_LOCAL_MACHINE";
constexpr const char* SERVICES = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr const char* DEVICE_CLASSES =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\";
// The folder below drive C that directory IDs 10 (the Windows folder), 11 and 12 name, and how the
// service key's image path names 12.
constexpr const char* DRIVERS_FOLDER = "WINDOWS/system32/drivers";
constexpr const char* DRIVERS_IMAGE_PATH = "system32\\DRIVERS\\";

// AddReg flags the host writes: the value types, and "do not replace" and "key only".
constexpr unsigned long FLG_ADDREG_BINVALUETYPE = 0x00000001;
constexpr unsigned long FLG_ADDREG_NOCLOBBER = 0x00000002;
constexpr unsigned long FLG_ADDREG_KEYONLY = 0x00000010;
constexpr unsigned long FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000;
constexpr unsigned long FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000;
constexpr unsigned long FLG_ADDREG_TYPE_DWORD = 0x00010001;
constexpr unsigned long SPSVCINST_ASSOCSERVICE = 0x00000002;

// The system INFs an install section may include, with the sections it may need from each.
struct SystemInf {
    const char* File;
    std::vector<const char*> Sections;
};
const SystemInf SYSTEM_INFS[] = {
    {"ks.inf", {"KS.Registration", "KS.Registration.NT", "MSPCLOCK.Installation", "MSPQM.Installation"}},
    {"kscaptur.inf", {"KSCAPTUR.Registration", "KSCAPTUR.Registration.NT"}},
    {"ksfilter.inf", {"MSKSSRC.Registration", "MSKSSRC.Registration.NT"}},
};

struct RegWrite {
    std::string Key, Name;
    ULONG Type;
    std::vector<uint8_t> Data;
    bool KeyOnly, NoClobber;
};

struct Plan {
    std::vector<RegWrite> Writes;
    std::vector<std::pair<std::string, std::string>> Copies; // from, to
    InstalledDriver Result;
};

struct Installer {
    const InfFile& Inf;
    const InfSource& Source;
    std::string HardwareId;
    std::string DriverKey;
    Plan Work;
    std::string* Error;

    bool Fail(unsigned Line, const std::string& What) {
        *Error = Inf.Message(Line, What);
        return false;
    }
    // The section Name, refused as missing when the INF has none.
    const InfSection* Require(const std::string& Name, unsigned Line) {
        const InfSection* s = Inf.Find(Name);
        if (s == nullptr)
            Fail(Line, "missing section [" + Name + "]");
        return s;
    }
    // Every entry of Section must be one of Directives.
    bool OnlyDirectives(const InfSection& Section, const std::set<std::string>& Directives) {
        for (const InfEntry& e : Section.Entries) {
            bool known = false;
            for (const std::string& d : Directives)
                known = known || SameName(e.Key, d);
            if (!known)
                return Fail(e.Line, "unknown directive '" + (e.Key.empty() ? e.Fields.front() : e.Key) +
                                        "' in [" + Section.Name + "]");
        }
        return true;
    }
};

std::string InfField(const InfEntry& E, size_t I) {
    return I < E.Fields.size() ? E.Fields[I] : std::string();
}

// A number as INF fields write them: decimal, or hexadecimal after 0x.
bool InfNumber(const std::string& Text, unsigned long* Value) {
    if (Text.empty())
        return false;
    size_t used = 0;
    try {
        *Value = std::stoul(Text, &used, 0);
    } catch (...) {
        return false;
    }
    return used == Text.size();
}

std::vector<uint8_t> Utf16(const std::string& Text, bool Terminated = true) {
    std::vector<uint8_t> out;
    for (unsigned char c : Text) { // INF text is single-byte: each byte is its own character
        out.push_back(c);
        out.push_back(0);
    }
    if (Terminated)
        out.insert(out.end(), {0, 0});
    return out;
}

RegWrite StringValue(const std::string& Key, const std::string& Name, const std::string& Value,
                     ULONG Type = REG_SZ) {
    return {Key, Name, Type, Utf16(Value), false, false};
}

RegWrite DwordValue(const std::string& Key, const std::string& Name, uint32_t Value) {
    return {Key,       Name,
            REG_DWORD, {uint8_t(Value), uint8_t(Value >> 8), uint8_t(Value >> 16), uint8_t(Value >> 24)},
            false,     false};
}

// The data of an AddReg entry from its fields past the flags.
bool AddRegData(Installer& I, const InfEntry& E, unsigned long Type, RegWrite* W) {
    const std::string value = InfField(E, 4);
    if (Type == FLG_ADDREG_TYPE_DWORD) {
        unsigned long dword;
        if (!InfNumber(value, &dword) || dword > 0xFFFFFFFFul)
            return I.Fail(E.Line, "'" + value + "' is not a DWORD value");
        *W = DwordValue(W->Key, W->Name, uint32_t(dword));
    } else if (Type == FLG_ADDREG_BINVALUETYPE) {
        W->Type = REG_BINARY;
        for (size_t f = 4; f < E.Fields.size(); ++f) {
            unsigned long byte;
            if (!InfNumber("0x" + E.Fields[f], &byte) || byte > 0xFF)
                return I.Fail(E.Line, "'" + E.Fields[f] + "' is not a hexadecimal byte");
            W->Data.push_back(uint8_t(byte));
        }
    } else if (Type == FLG_ADDREG_TYPE_MULTI_SZ) {
        W->Type = REG_MULTI_SZ;
        for (size_t f = 4; f < E.Fields.size(); ++f) {
            const std::vector<uint8_t> s = Utf16(E.Fields[f]);
            W->Data.insert(W->Data.end(), s.begin(), s.end());
        }
        W->Data.insert(W->Data.end(), {0, 0});
    } else {
        *W = StringValue(W->Key, W->Name, value, Type == FLG_ADDREG_TYPE_EXPAND_SZ ? REG_EXPAND_SZ : REG_SZ);
    }
    return true;
}

// One AddReg entry: root, subkey, value name, flags, value. HKR is the key the directive applies to.
bool AddRegEntry(Installer& I, const InfEntry& E, const std::string& Hkr) {
    const std::string root = InfField(E, 0), subkey = InfField(E, 1);
    std::string key;
    if (SameName(root, "HKR"))
        key = Hkr;
    else if (SameName(root, "HKLM"))
        key = MACHINE;
    else
        return I.Fail(E.Line, "registry root '" + root + "' is not HKR or HKLM");
    if (!subkey.empty())
        key += "\\" + subkey;
    unsigned long flags = 0;
    if (!InfField(E, 3).empty() && !InfNumber(InfField(E, 3), &flags))
        return I.Fail(E.Line, "'" + InfField(E, 3) + "' is not a number of AddReg flags");
    const unsigned long type = flags & ~(FLG_ADDREG_NOCLOBBER | FLG_ADDREG_KEYONLY);
    if (type != 0 && type != FLG_ADDREG_BINVALUETYPE && type != FLG_ADDREG_TYPE_DWORD &&
        type != FLG_ADDREG_TYPE_MULTI_SZ && type != FLG_ADDREG_TYPE_EXPAND_SZ)
        return I.Fail(E.Line, "AddReg flags " + InfField(E, 3) + " are not ones the installer writes");
    RegWrite w{
        key, InfField(E, 2), REG_SZ, {}, (flags & FLG_ADDREG_KEYONLY) != 0, (flags & FLG_ADDREG_NOCLOBBER) != 0};
    if (!w.KeyOnly && !AddRegData(I, E, type, &w))
        return false;
    w.KeyOnly = (flags & FLG_ADDREG_KEYONLY) != 0;
    w.NoClobber = (flags & FLG_ADDREG_NOCLOBBER) != 0;
    I.Work.Writes.push_back(std::move(w));
    return true;
}

// An AddReg directive: each section it names, into Hkr.
bool AddReg(Installer& I, const InfEntry& Directive, const std::string& Hkr) {
    for (const std::string& name : Directive.Fields) {
        const InfSection* section = I.Require(name, Directive.Line);
        if (section == nullptr)
            return false;
        for (const InfEntry& e : section->Entries) {
            if (!AddRegEntry(I, e, Hkr))
                return false;
        }
    }
    return true;
}

bool DirectoryOf(Installer& I, const std::string& CopySection, unsigned Line, std::string* Folder) {
    const InfSection* dirs = I.Require("DestinationDirs", Line);
    if (dirs == nullptr)
        return false;
    std::string id;
    for (const InfEntry& e : dirs->Entries) {
        if (SameName(e.Key, CopySection) || (id.empty() && SameName(e.Key, "DefaultDestDir")))
            id = InfField(e, 0);
    }
    if (id != "10" && id != "11" && id != "12")
        return I.Fail(dirs->Line,
                      "no destination the host has for [" + CopySection + "] (directory '" + id + "')");
    *Folder = id == "10" ? "WINDOWS" : id == "11" ? "WINDOWS/system32" : DRIVERS_FOLDER;
    return true;
}

// One file of a copy: it must come from a source disk, and be in the package when there is one.
bool CopyOne(Installer& I, const std::string& File, const std::string& Folder, unsigned Line) {
    const InfSection* files = I.Require("SourceDisksFiles", Line);
    if (files == nullptr || I.Require("SourceDisksNames", Line) == nullptr)
        return false;
    bool listed = false;
    for (const InfEntry& e : files->Entries)
        listed = listed || SameName(e.Key, File);
    if (!listed)
        return I.Fail(Line, File + " is not in [SourceDisksFiles]");
    if (I.Source.Files.empty())
        return true;
    const auto from = I.Source.Files.find(LowerName(File));
    if (from == I.Source.Files.end())
        return I.Fail(Line, "cannot copy " + File + ": the package has no such file");
    I.Work.Copies.push_back({from->second, host::FilesDriveC() + "/" + Folder + "/" + File});
    return true;
}

bool CopyFiles(Installer& I, const InfEntry& Directive) {
    for (const std::string& name : Directive.Fields) {
        std::string folder;
        if (!name.empty() && name[0] == '@') {
            if (!DirectoryOf(I, "DefaultDestDir", Directive.Line, &folder) ||
                !CopyOne(I, name.substr(1), folder, Directive.Line))
                return false;
            continue;
        }
        const InfSection* section = I.Require(name, Directive.Line);
        if (section == nullptr || !DirectoryOf(I, name, Directive.Line, &folder))
            return false;
        for (const InfEntry& e : section->Entries) {
            if (!CopyOne(I, InfField(e, 0), folder, e.Line))
                return false;
        }
    }
    return true;
}

bool Includes(Installer& I, const InfEntry& Directive, std::set<std::string>* Available) {
    for (const std::string& file : Directive.Fields) {
        const SystemInf* found = nullptr;
        for (const SystemInf& s : SYSTEM_INFS)
            found = SameName(file, s.File) ? &s : found;
        if (found == nullptr)
            return I.Fail(Directive.Line, "includes " + file + ", which is not a system INF the host has");
        for (const char* section : found->Sections)
            Available->insert(section);
    }
    return true;
}

bool Needs(Installer& I, const InfEntry& Directive, const std::set<std::string>& Available) {
    for (const std::string& section : Directive.Fields) {
        bool found = I.Inf.Find(section) != nullptr;
        for (const std::string& a : Available)
            found = found || SameName(a, section);
        if (!found)
            return I.Fail(Directive.Line, "needs [" + section + "], which no included INF has");
    }
    return true;
}

// The install section proper: Include before Needs, wherever they stand.
bool RunInstallSection(Installer& I, const InfSection& Section) {
    if (!I.OnlyDirectives(Section, {"Include", "Needs", "AddReg", "CopyFiles"}))
        return false;
    std::set<std::string> available;
    for (const InfEntry& e : Section.Entries) {
        if (SameName(e.Key, "Include") && !Includes(I, e, &available))
            return false;
    }
    for (const InfEntry& e : Section.Entries) {
        if (SameName(e.Key, "Needs") && !Needs(I, e, available))
            return false;
        if (SameName(e.Key, "AddReg") && !AddReg(I, e, I.DriverKey))
            return false;
        if (SameName(e.Key, "CopyFiles") && !CopyFiles(I, e))
            return false;
    }
    return true;
}

// ServiceBinary's directory ID 12 as the service key names it.
bool ImagePathOf(Installer& I, const InfEntry& E, std::string* Path) {
    const std::string binary = InfField(E, 0);
    const std::string prefix = "%12%\\";
    if (binary.compare(0, prefix.size(), prefix) != 0 || binary.size() == prefix.size())
        return I.Fail(E.Line, "ServiceBinary '" + binary + "' is not in %12%, the drivers folder");
    *Path = DRIVERS_IMAGE_PATH + binary.substr(prefix.size());
    return true;
}

// A service-install section: the service key's values.
bool InstallService(Installer& I, const InfSection& Section, const std::string& Name) {
    if (!I.OnlyDirectives(Section, {"DisplayName", "Description", "ServiceType", "StartType", "ErrorControl",
                                    "ServiceBinary", "LoadOrderGroup", "AddReg"}))
        return false;
    const std::string key = SERVICES + Name;
    struct Dword {
        const char* Directive;
        const char* Value;
        unsigned long Limit;
    } dwords[] = {
        {"ServiceType", "Type", 0x1}, {"StartType", "Start", 4}, {"ErrorControl", "ErrorControl", 3}};
    std::string imagePath;
    for (const InfEntry& e : Section.Entries) {
        for (const Dword& d : dwords) {
            unsigned long v;
            if (!SameName(e.Key, d.Directive))
                continue;
            if (!InfNumber(InfField(e, 0), &v) || v > d.Limit || (d.Limit == 1 && v != 1))
                return I.Fail(e.Line, std::string(d.Directive) + " '" + InfField(e, 0) +
                                          "' is not one a kernel driver takes");
            I.Work.Writes.push_back(DwordValue(key, d.Value, uint32_t(v)));
        }
        if (SameName(e.Key, "DisplayName") || SameName(e.Key, "Description") ||
            SameName(e.Key, "LoadOrderGroup"))
            I.Work.Writes.push_back(
                StringValue(key, SameName(e.Key, "LoadOrderGroup") ? "Group" : e.Key, InfField(e, 0)));
        if (SameName(e.Key, "ServiceBinary") && !ImagePathOf(I, e, &imagePath))
            return false;
        if (SameName(e.Key, "AddReg") && !AddReg(I, e, key))
            return false;
    }
    if (imagePath.empty())
        return I.Fail(Section.Line, "[" + Section.Name + "] has no ServiceBinary");
    I.Work.Writes.push_back(StringValue(key, "ImagePath", imagePath, REG_EXPAND_SZ));
    I.Work.Result.Service = Name;
    I.Work.Result.ImagePath = imagePath;
    return true;
}

bool RunServices(Installer& I, const std::string& Install, unsigned Line) {
    const InfSection* services = I.Require(Install + ".Services", Line);
    if (services == nullptr || !I.OnlyDirectives(*services, {"AddService"}))
        return false;
    for (const InfEntry& e : services->Entries) {
        unsigned long flags = 0;
        if (InfField(e, 0).empty() || (!InfField(e, 1).empty() && !InfNumber(InfField(e, 1), &flags)))
            return I.Fail(e.Line, "AddService needs a service name and flags");
        const InfSection* section = I.Require(InfField(e, 2), e.Line);
        if (section == nullptr || !InstallService(I, *section, InfField(e, 0)))
            return false;
        if (!(flags & SPSVCINST_ASSOCSERVICE))
            return I.Fail(e.Line, "the service is not the device's function driver (flag 0x2)");
    }
    if (I.Work.Result.Service.empty())
        return I.Fail(services->Line, "[" + services->Name + "] adds no service");
    return true;
}

bool RunInterfaces(Installer& I, const std::string& Install) {
    const InfSection* interfaces = I.Inf.Find(Install + ".Interfaces");
    if (interfaces == nullptr)
        return true;
    if (!I.OnlyDirectives(*interfaces, {"AddInterface"}))
        return false;
    std::string device = I.HardwareId;
    for (char& c : device)
        c = c == '\\' ? '#' : c;
    for (const InfEntry& e : interfaces->Entries) {
        const std::string guid = InfField(e, 0), reference = InfField(e, 1);
        if (!IsGuid(guid))
            return I.Fail(e.Line, "bad GUID '" + guid + "'");
        const std::string key =
            DEVICE_CLASSES + guid + "\\##?#" + device + "#0000#" + guid + "\\#" + reference;
        I.Work.Writes.push_back({key + "\\Device Parameters", "", REG_NONE, {}, true, false});
        I.Work.Result.Interfaces.push_back(guid);
        if (InfField(e, 2).empty())
            continue;
        const InfSection* section = I.Require(InfField(e, 2), e.Line);
        if (section == nullptr || !I.OnlyDirectives(*section, {"AddReg"}))
            return false;
        for (const InfEntry& directive : section->Entries) {
            if (!AddReg(I, directive, key + "\\Device Parameters"))
                return false;
        }
    }
    return true;
}

// [Version]: a Windows NT INF of the imaging class, whose driver keys the host keeps.
bool CheckVersion(Installer& I) {
    const InfSection* version = I.Require("Version", 1);
    if (version == nullptr || !I.OnlyDirectives(*version, {"Signature", "Class", "ClassGUID", "Provider",
                                                           "DriverVer", "CatalogFile"}))
        return false;
    std::string signature, classGuid, provider, driverVer;
    for (const InfEntry& e : version->Entries) {
        std::string* into = SameName(e.Key, "Signature")   ? &signature
                            : SameName(e.Key, "ClassGUID") ? &classGuid
                            : SameName(e.Key, "Provider")  ? &provider
                            : SameName(e.Key, "DriverVer") ? &driverVer
                                                           : nullptr;
        if (into != nullptr)
            *into = InfField(e, 0) + (SameName(e.Key, "DriverVer") ? "," + InfField(e, 1) : "");
        if (SameName(e.Key, "ClassGUID") && !IsGuid(InfField(e, 0)))
            return I.Fail(e.Line, "bad GUID '" + InfField(e, 0) + "'");
    }
    if (!SameName(signature, "$Windows NT$") && !SameName(signature, "$Chicago$"))
        return I.Fail(version->Line, "[Version] has no Windows NT signature");
    if (!SameName(classGuid, IMAGE_CLASS_GUID))
        return I.Fail(version->Line,
                      "the driver's class is not the imaging class " + std::string(IMAGE_CLASS_GUID));
    const size_t comma = driverVer.find(',');
    I.Work.Writes.push_back(StringValue(I.DriverKey, "ProviderName", provider));
    I.Work.Writes.push_back(StringValue(I.DriverKey, "DriverDate", driverVer.substr(0, comma)));
    I.Work.Writes.push_back(StringValue(I.DriverKey, "DriverVersion",
                                        comma == std::string::npos ? "" : driverVer.substr(comma + 1)));
    return true;
}

// The models section that applies to 32-bit Windows for each manufacturer, and in it the device's model.
bool FindModel(Installer& I, std::string* Install, unsigned* Line) {
    const InfSection* manufacturers = I.Require("Manufacturer", 1);
    if (manufacturers == nullptr)
        return false;
    for (const InfEntry& m : manufacturers->Entries) {
        bool x86 = m.Fields.size() == 1;
        for (size_t f = 1; f < m.Fields.size(); ++f)
            x86 = x86 || SameName(m.Fields[f], "NTx86");
        if (!x86)
            continue; // only for other processors
        const InfSection* models = I.Require(InfField(m, 0) + (m.Fields.size() > 1 ? ".NTx86" : ""), m.Line);
        if (models == nullptr)
            return false;
        for (const InfEntry& e : models->Entries) {
            for (size_t f = 1; f < e.Fields.size(); ++f) {
                if (!SameName(e.Fields[f], I.HardwareId))
                    continue;
                I.Work.Result.Model = e.Key;
                *Install = InfField(e, 0);
                *Line = e.Line;
                return true;
            }
        }
    }
    return I.Fail(manufacturers->Line, "no model for " + I.HardwareId + " on 32-bit Windows");
}

bool PlanInstall(Installer& I) {
    std::string install;
    unsigned line = 0;
    if (!CheckVersion(I) || !FindModel(I, &install, &line))
        return false;
    const InfSection* section = nullptr;
    for (const char* decoration : {".NTx86", ".NT", ""}) {
        section = I.Inf.Find(install + decoration);
        if (section != nullptr)
            break;
    }
    if (section == nullptr)
        return I.Fail(line, "missing section [" + install + "]");
    if (!RunInstallSection(I, *section) || !RunServices(I, section->Name, line) ||
        !RunInterfaces(I, section->Name))
        return false;
    const std::string matching = LowerName(I.HardwareId);
    I.Work.Writes.push_back(StringValue(I.DriverKey, "DriverDesc", I.Work.Result.Model));
    I.Work.Writes.push_back(StringValue(I.DriverKey, "MatchingDeviceId", matching));
    I.Work.Writes.push_back(StringValue(I.DriverKey, "InfPath", I.Source.Name));
    I.Work.Writes.push_back(StringValue(I.DriverKey, "InfSection", section->Name));
    return true;
}

bool ApplyInstall(const Plan& Work, std::string* Error) {
    for (const auto& copy : Work.Copies) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(copy.second).parent_path(), ec);
        if (!std::filesystem::copy_file(copy.first, copy.second,
                                        std::filesystem::copy_options::overwrite_existing, ec)) {
            *Error = copy.first + ": cannot copy it to " + copy.second + ": " + ec.message();
            return false;
        }
    }
    for (const RegWrite& w : Work.Writes) {
        host::RegistryCreateKey(w.Key);
        host::RegistryValue existing;
        if (w.KeyOnly || (w.NoClobber && host::RegistryGetValue(w.Key, w.Name, &existing)))
            continue;
        host::RegistrySetValue(w.Key, w.Name, w.Type, w.Data);
    }
    return true;
}

} // namespace

bool IsGuid(const std::string& Text) {
    static const char pattern[] = "{########-####-####-####-############}";
    if (Text.size() != sizeof pattern - 1)
        return false;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (pattern[i] == '#' ? !std::isxdigit(static_cast<unsigned char>(Text[i])) : Text[i] != pattern[i])
            return false;
    }
    return true;
}

namespace {

// The plan of an install depends on the INF, the package, the device and the folder behind C:\ alone;
// every fresh host of the fuzz targets and the whole-stack suites installs the same one, so the last
// plan made is kept for the next install of the same. A refused INF is checked again each time.
bool PlannedInstall(const InfSource& Inf, const std::string& HardwareId, const std::string& DriverKey,
                    Plan* Work, std::string* Error) {
    std::string key = Inf.Name + '\0' + Inf.Text + '\0' + HardwareId + '\0' + DriverKey + '\0' +
                      host::FilesDriveC();
    for (const auto& file : Inf.Files)
        key += '\0' + file.first + '\0' + file.second;
    static std::mutex mutex;
    static std::string lastKey;
    static Plan last;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (key == lastKey) {
            *Work = last;
            return true;
        }
    }
    InfFile file;
    if (!ParseInf(Inf.Text, Inf.Name, &file, Error))
        return false;
    Installer installer{file, Inf, HardwareId, DriverKey, {}, Error};
    if (!PlanInstall(installer))
        return false;
    *Work = installer.Work;
    std::lock_guard<std::mutex> lock(mutex);
    lastKey = key;
    last = *Work;
    return true;
}

} // namespace

bool InstallFromInf(const InfSource& Inf, const std::string& HardwareId, const std::string& DriverKey,
                    InstalledDriver* Out, std::string* Error) {
    Plan work;
    if (!PlannedInstall(Inf, HardwareId, DriverKey, &work, Error) || !ApplyInstall(work, Error))
        return false;
    // The driver file is the copy the service's image path names.
    const std::string image = LowerName(work.Result.ImagePath);
    for (const auto& copy : work.Copies) {
        const std::string name = LowerName(std::filesystem::path(copy.second).filename().string());
        if (image.size() >= name.size() && image.compare(image.size() - name.size(), name.size(), name) == 0)
            work.Result.DriverFile = copy.second;
    }
    *Out = work.Result;
    return true;
}

} // namespace rig
