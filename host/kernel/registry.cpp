// The registry: a tree of keys holding typed values of any type and length, behind the driver's calls
// (IoOpenDeviceRegistryKey, ZwCreateKey, ZwQueryValueKey, ZwSetValueKey) and the host's own access for
// tests and the z40k tool. Handles check the access they were opened with, as the kernel does, so a
// value written through a key opened for reading only is refused here as it would be on Windows.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"
#include "host/kernel/registry_tree.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace host {
namespace detail {

const char* const REGISTRY_HIVES[5] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_CLASSES_ROOT",
                                       "HKEY_USERS", "HKEY_CURRENT_CONFIG"};

std::unique_ptr<RegKey> NewRegistryRoot() {
    auto root = std::make_unique<RegKey>();
    for (const char* hive : REGISTRY_HIVES)
        AddSubkey(root.get(), hive);
    return root;
}

namespace {

// After erasing the entry at Position, the entries behind it move down by one.
void EraseIndexed(std::unordered_map<std::string, size_t>* Index, const std::string& Folded,
                  size_t Position) {
    Index->erase(Folded);
    for (auto& entry : *Index) {
        if (entry.second > Position)
            --entry.second;
    }
}

} // namespace

RegKey::SubkeyList::iterator FindSubkeyEntry(RegKey* Key, const std::string& Name) {
    auto it = Key->SubkeyIndex.find(FoldCase(Name));
    return it == Key->SubkeyIndex.end() ? Key->Subkeys.end() : Key->Subkeys.begin() + it->second;
}

RegKey::ValueList::iterator FindValueEntry(RegKey* Key, const std::string& Name) {
    auto it = Key->ValueIndex.find(FoldCase(Name));
    return it == Key->ValueIndex.end() ? Key->Values.end() : Key->Values.begin() + it->second;
}

RegKey* FindSubkey(RegKey* Key, const std::string& Name) {
    auto it = FindSubkeyEntry(Key, Name);
    return it == Key->Subkeys.end() ? nullptr : it->get();
}

size_t KeyDepth(const RegKey* Key) {
    size_t depth = 0;
    for (; Key->Parent != nullptr; Key = Key->Parent)
        ++depth;
    return depth;
}

RegKey* AddSubkey(RegKey* Key, const std::string& Name) {
    RegKey* existing = FindSubkey(Key, Name);
    if (existing != nullptr)
        return existing;
    if (KeyDepth(Key) >= MAX_KEY_DEPTH)
        return nullptr;
    Key->SubkeyIndex.emplace(FoldCase(Name), Key->Subkeys.size());
    Key->Subkeys.push_back(std::make_unique<RegKey>());
    Key->Subkeys.back()->Name = Name;
    Key->Subkeys.back()->Parent = Key;
    return Key->Subkeys.back().get();
}

bool RemoveSubkey(RegKey* Key, const std::string& Name) {
    auto it = FindSubkeyEntry(Key, Name);
    if (it == Key->Subkeys.end())
        return false;
    const size_t position = static_cast<size_t>(it - Key->Subkeys.begin());
    Key->Subkeys.erase(it);
    EraseIndexed(&Key->SubkeyIndex, FoldCase(Name), position);
    return true;
}

RegistryValue* FindValue(RegKey* Key, const std::string& Name) {
    auto it = FindValueEntry(Key, Name);
    return it == Key->Values.end() ? nullptr : &it->second;
}

void SetValue(RegKey* Key, const std::string& Name, const RegistryValue& Value) {
    RegistryValue* existing = FindValue(Key, Name);
    if (existing != nullptr) {
        *existing = Value;
        return;
    }
    Key->ValueIndex.emplace(FoldCase(Name), Key->Values.size());
    Key->Values.emplace_back(Name, Value);
}

bool RemoveValue(RegKey* Key, const std::string& Name) {
    auto it = FindValueEntry(Key, Name);
    if (it == Key->Values.end())
        return false;
    const size_t position = static_cast<size_t>(it - Key->Values.begin());
    Key->Values.erase(it);
    EraseIndexed(&Key->ValueIndex, FoldCase(Name), position);
    return true;
}

} // namespace detail

namespace {

using detail::RegKey;

constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;
constexpr ULONG REG_CREATED_NEW_KEY = 1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 2;
constexpr size_t MAX_KEY_NAME_CHARS = 255;
constexpr size_t MAX_VALUE_NAME_CHARS = 16383;
constexpr size_t REGISTRY_FILE_LIMIT = size_t(16) << 20; // far above any settings file
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS STATUS_KEY_DELETED = static_cast<NTSTATUS>(0xC000017C);
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = static_cast<NTSTATUS>(0xC0000024);

const char* const DRIVER_KEY_BASE =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}\\";

struct RegistryState {
    std::recursive_mutex Mutex;
    std::unique_ptr<RegKey> Root = detail::NewRegistryRoot();
    std::vector<PDEVICE_OBJECT> Pdos; // index = device instance number
    RegistryObserver Observer;
};

RegistryState& Registry() {
    static RegistryState* state = new RegistryState;
    return *state;
}

// The key at Path, or null. The caller holds the lock.
RegKey* FindKey(RegistryState& registry, const std::string& Path) {
    std::vector<std::string> parts;
    if (!detail::SplitPath(Path, &parts))
        return nullptr;
    RegKey* key = registry.Root.get();
    for (const std::string& part : parts) {
        key = detail::FindSubkey(key, part);
        if (key == nullptr)
            return nullptr;
    }
    return key;
}

// The key at Path, created with every missing parent; null when Path does not start at a predefined key.
RegKey* CreateKeyPath(RegistryState& registry, const std::string& Path) {
    std::vector<std::string> parts;
    if (!detail::SplitPath(Path, &parts))
        return nullptr;
    RegKey* key = detail::FindSubkey(registry.Root.get(), parts[0]);
    if (key == nullptr)
        return nullptr;
    for (size_t i = 1; i < parts.size() && key != nullptr; ++i)
        key = detail::AddSubkey(key, parts[i]);
    return key;
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped =
        access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & (GENERIC_READ | GENERIC_EXECUTE))
        mapped |= KEY_READ;
    if (access & GENERIC_WRITE)
        mapped |= KEY_WRITE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        mapped |= KEY_ALL_ACCESS;
    return mapped;
}

// The key behind a handle, with the lock held by the caller; a status when the handle is no open key.
NTSTATUS KeyOfHandle(RegistryState& registry, HANDLE Handle, ACCESS_MASK Needed, RegKey** Key,
                     std::string* Path) {
    detail::HandleEntry entry;
    if (!detail::HandleLookup(Handle, &entry))
        return STATUS_INVALID_HANDLE;
    if (entry.Kind != detail::HandleKind::Key)
        return STATUS_OBJECT_TYPE_MISMATCH;
    if ((entry.Access & Needed) != Needed)
        return STATUS_ACCESS_DENIED;
    *Key = FindKey(registry, entry.KeyPath);
    if (*Key == nullptr)
        return STATUS_KEY_DELETED;
    if (Path != nullptr)
        *Path = entry.KeyPath;
    return STATUS_SUCCESS;
}

std::string PathOfKey(const RegKey* Key) {
    // Paths of handles are built from the names as stored, so the observer and the trace see one spelling.
    std::vector<const RegKey*> trail; // from the key up to its predefined key
    for (; Key->Parent != nullptr; Key = Key->Parent)
        trail.push_back(Key);
    std::string path;
    for (auto it = trail.rbegin(); it != trail.rend(); ++it)
        path += (path.empty() ? "" : "\\") + (*it)->Name;
    return path;
}

void CopyOut(UCHAR* buffer, ULONG length, ULONG offset, const void* data, size_t size, bool* complete) {
    if (offset >= length) {
        if (size != 0)
            *complete = false;
        return;
    }
    size_t room = length - offset;
    size_t n = size < room ? size : room;
    if (n != 0)
        std::memcpy(buffer + offset, data, n);
    if (n < size)
        *complete = false;
}

// The key a ZwCreateKey names the new key below: an open key for a relative name, or the predefined key of
// a full name of the kernel's name space (\Registry\Machine\... or \Registry\User\...), whose prefix is
// taken off *Name. The caller holds the lock.
NTSTATUS ParentOfNewKey(RegistryState& registry, HANDLE root_directory, std::string* name, RegKey** parent) {
    if (root_directory != nullptr) {
        // Relative to an open key; the name may not start at the root of the name space.
        return KeyOfHandle(registry, root_directory, 0, parent, nullptr);
    }
    std::string folded = detail::FoldCase(*name);
    static const std::pair<const char*, const char*> roots[] = {
        {"\\REGISTRY\\MACHINE\\", "HKEY_LOCAL_MACHINE"}, {"\\REGISTRY\\USER\\", "HKEY_USERS"}};
    for (const auto& root : roots) {
        std::string prefix = root.first;
        if (folded.compare(0, prefix.size(), prefix) == 0) {
            *parent = detail::FindSubkey(registry.Root.get(), root.second);
            *name = name->substr(prefix.size());
            return *parent != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_PATH_NOT_FOUND;
        }
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

// The levels of a key name below its parent, each within the longest name a key may have.
NTSTATUS KeyNameLevels(const std::string& name, std::vector<std::string>* parts) {
    if (!detail::SplitPath(name, parts))
        return STATUS_OBJECT_NAME_INVALID;
    for (const std::string& part : *parts) {
        if (detail::Utf16FromUtf8(part).size() > MAX_KEY_NAME_CHARS)
            return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

// Opens the key at Levels below Parent, or creates it when only the last level is missing: ZwCreateKey
// creates one key, never a chain of them.
NTSTATUS OpenOrCreateKey(RegKey* parent, const std::vector<std::string>& levels, RegKey** key,
                         ULONG* disposition) {
    for (size_t i = 0; i + 1 < levels.size(); ++i) {
        parent = detail::FindSubkey(parent, levels[i]);
        if (parent == nullptr)
            return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *key = detail::FindSubkey(parent, levels.back());
    *disposition = REG_OPENED_EXISTING_KEY;
    if (*key == nullptr) {
        *key = detail::AddSubkey(parent, levels.back());
        if (*key == nullptr)
            return STATUS_INVALID_PARAMETER; // deeper than the registry allows
        *disposition = REG_CREATED_NEW_KEY;
    }
    return STATUS_SUCCESS;
}

// Where a value information record of one class puts its parts. The three layouts: basic = title
// index, type, name length, name; full = title index, type, data offset, data length, name length, name,
// data at the next 4-byte boundary; partial = title index, type, data length, data.
struct ValueInformationLayout {
    ULONG Fixed;      // bytes of the header words
    ULONG Needed;     // bytes of the whole record
    ULONG NameOffset; // 0: no name
    ULONG DataOffset; // 0: no data
    ULONG Header[5];  // the header words, Fixed bytes of them
};

// The layout of Class for a value of Type with a name and data of these lengths; false for a class the
// call does not answer.
bool LayOutValueInformation(KEY_VALUE_INFORMATION_CLASS Class, ULONG type, ULONG name_length,
                            ULONG data_length, ValueInformationLayout* layout) {
    *layout = {0, 0, 0, 0, {0, type, 0, 0, 0}};
    switch (Class) {
    case KeyValueBasicInformation:
        layout->Fixed = 12;
        layout->NameOffset = layout->Fixed;
        layout->Needed = layout->Fixed + name_length;
        layout->Header[2] = name_length;
        return true;
    case KeyValueFullInformation:
        layout->Fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        layout->NameOffset = layout->Fixed;
        layout->DataOffset = (layout->Fixed + name_length + 3) & ~3u;
        layout->Needed = layout->DataOffset + data_length;
        layout->Header[2] = layout->DataOffset;
        layout->Header[3] = data_length;
        layout->Header[4] = name_length;
        return true;
    case KeyValuePartialInformation:
        layout->Fixed = 12;
        layout->DataOffset = layout->Fixed;
        layout->Needed = layout->Fixed + data_length;
        layout->Header[2] = data_length;
        return true;
    default:
        return false;
    }
}

} // namespace

std::string DriverKeyPath() {
    return DriverKeyPathOf(0);
}

std::string DriverKeyPathOf(unsigned Instance) {
    char number[16];
    std::snprintf(number, sizeof number, "%04u", Instance);
    return std::string(DRIVER_KEY_BASE) + number;
}

void RegistryClear() {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    registry.Root = detail::NewRegistryRoot();
}

bool RegistryKeyExists(const std::string& Path) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    return FindKey(registry, Path) != nullptr;
}

void RegistryCreateKey(const std::string& Path) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    if (CreateKeyPath(registry, Path) == nullptr)
        detail::BugCheck(("RegistryCreateKey: not a registry path: " + Path).c_str());
}

void RegistrySetValue(const std::string& Path, const std::string& Name, ULONG Type,
                      std::vector<uint8_t> Data) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    RegKey* key = CreateKeyPath(registry, Path);
    if (key == nullptr)
        detail::BugCheck(("RegistrySetValue: not a registry path: " + Path).c_str());
    detail::SetValue(key, Name, RegistryValue{Type, std::move(Data)});
}

void RegistrySetDword(const std::string& Path, const std::string& Name, uint32_t Value) {
    RegistrySetValue(Path, Name, REG_DWORD,
                     {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8),
                      static_cast<uint8_t>(Value >> 16), static_cast<uint8_t>(Value >> 24)});
}

bool RegistryGetValue(const std::string& Path, const std::string& Name, RegistryValue* Value) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    RegKey* key = FindKey(registry, Path);
    RegistryValue* value = key == nullptr ? nullptr : detail::FindValue(key, Name);
    if (value == nullptr)
        return false;
    if (Value != nullptr)
        *Value = *value;
    return true;
}

std::map<std::string, RegistryValue> RegistryValues(const std::string& Path) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    std::map<std::string, RegistryValue> values;
    RegKey* key = FindKey(registry, Path);
    if (key != nullptr) {
        for (const auto& value : key->Values)
            values[value.first] = value.second;
    }
    return values;
}

bool RegistryLoadFile(const std::string& File, std::string* Error) {
    auto failed = [&](const std::string& Why) {
        if (Error != nullptr)
            *Error = File + ": " + Why;
        return false;
    };
    // Only a regular file of sensible size: a device or a FIFO could be read without end.
    struct stat info;
    if (::stat(File.c_str(), &info) != 0)
        return failed(std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        return failed("not a regular file");
    if (static_cast<uint64_t>(info.st_size) > REGISTRY_FILE_LIMIT)
        return failed("larger than " + std::to_string(REGISTRY_FILE_LIMIT >> 20) + " MiB");
    std::ifstream in(File, std::ios::binary);
    if (!in)
        return failed(std::strerror(errno));
    // One byte more than its size is asked for: getting it means the file grew after the check.
    const size_t size = static_cast<size_t>(info.st_size);
    std::string text(size + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    if (in.bad() || static_cast<size_t>(in.gcount()) > size)
        return failed("cannot be read whole (it changed while it was read)");
    text.resize(static_cast<size_t>(in.gcount()));
    std::unique_ptr<RegKey> root;
    std::string error;
    if (!detail::ParseRegFile(text, File, &root, &error)) {
        if (Error != nullptr)
            *Error = error;
        return false;
    }
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    registry.Root = std::move(root);
    return true;
}

bool RegistrySaveFile(const std::string& File, std::string* Error) {
    std::string text;
    {
        RegistryState& registry = Registry();
        std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
        text = detail::FormatRegFile(*registry.Root);
    }
    // Write a new file beside the old one and rename it over it, so an interrupted save leaves either the
    // old registry or the new one, never a truncated file.
    std::string temporary = File + ".tmp";
    std::FILE* out = std::fopen(temporary.c_str(), "wb");
    if (out == nullptr) {
        if (Error != nullptr)
            *Error = File + ": " + std::strerror(errno);
        return false;
    }
    // The host's own write can be made to fail, like every call below the driver, for the tests of a
    // save cut short.
    NTSTATUS injected;
    bool written = false;
    if (ShouldFail("RegistrySaveFile", &injected))
        errno = EIO;
    else
        written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    written = std::fflush(out) == 0 && written;
    written = ::fsync(fileno(out)) == 0 && written;
    int saved_errno = errno;
    written = std::fclose(out) == 0 && written;
    if (!written || std::rename(temporary.c_str(), File.c_str()) != 0) {
        saved_errno = written ? errno : saved_errno;
        std::remove(temporary.c_str());
        if (Error != nullptr)
            *Error = File + ": " + std::strerror(saved_errno);
        return false;
    }
    return true;
}

size_t RegistryOpenHandles() {
    return detail::HandleCount(detail::HandleKind::Key);
}

void RegistrySetObserver(RegistryObserver Observer) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    registry.Observer = std::move(Observer);
}

void RegistrySetDevicePdo(PDEVICE_OBJECT Pdo) {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    for (PDEVICE_OBJECT known : registry.Pdos) {
        if (known == Pdo)
            return;
    }
    registry.Pdos.push_back(Pdo);
}

namespace detail {

void ResetRegistry() {
    RegistryState& registry = Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    registry.Root = NewRegistryRoot();
    registry.Pdos.clear();
    registry.Observer = nullptr;
}

} // namespace detail
} // namespace host

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                       ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey) {
    host::detail::VerifyIrql("IoOpenDeviceRegistryKey");
    NTSTATUS status;
    if (host::ShouldFail("IoOpenDeviceRegistryKey", &status))
        return status;
    if (DevInstRegKey == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DevInstKeyType != PLUGPLAY_REGKEY_DRIVER)
        return STATUS_INVALID_PARAMETER;
    host::RegistryState& registry = host::Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    unsigned instance = 0;
    while (instance < registry.Pdos.size() && registry.Pdos[instance] != DeviceObject)
        ++instance;
    if (DeviceObject == nullptr || instance == registry.Pdos.size())
        return host::STATUS_INVALID_DEVICE_REQUEST; // only a physical device object has a driver key
    host::detail::RegKey* key = host::CreateKeyPath(registry, host::DriverKeyPathOf(instance));
    std::string path = host::PathOfKey(key);
    *DevInstRegKey = host::detail::HandleInsert(
        {host::detail::HandleKind::Key, host::MapKeyAccess(DesiredAccess), -1, path});
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG, PUNICODE_STRING, ULONG, PULONG Disposition) {
    host::detail::VerifyIrql("ZwCreateKey");
    NTSTATUS status;
    if (host::ShouldFail("ZwCreateKey", &status))
        return status;
    if (KeyHandle == nullptr || ObjectAttributes == nullptr || ObjectAttributes->ObjectName == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string name;
    if (!host::detail::Utf8FromUnicode(ObjectAttributes->ObjectName, &name))
        return STATUS_INVALID_PARAMETER;
    host::RegistryState& registry = host::Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);

    host::detail::RegKey* parent;
    status = host::ParentOfNewKey(registry, ObjectAttributes->RootDirectory, &name, &parent);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<std::string> levels;
    status = host::KeyNameLevels(name, &levels);
    if (!NT_SUCCESS(status))
        return status;
    host::detail::RegKey* key;
    ULONG disposition;
    status = host::OpenOrCreateKey(parent, levels, &key, &disposition);
    if (!NT_SUCCESS(status))
        return status;
    std::string path = host::PathOfKey(key);
    *KeyHandle = host::detail::HandleInsert(
        {host::detail::HandleKind::Key, host::MapKeyAccess(DesiredAccess), -1, path});
    if (Disposition != nullptr)
        *Disposition = disposition;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    host::detail::VerifyIrql("ZwQueryValueKey");
    NTSTATUS status;
    if (host::ShouldFail("ZwQueryValueKey", &status))
        return status;
    if (ResultLength == nullptr || (KeyValueInformation == nullptr && Length != 0))
        return STATUS_INVALID_PARAMETER;
    std::string name;
    if (ValueName != nullptr && !host::detail::Utf8FromUnicode(ValueName, &name))
        return STATUS_INVALID_PARAMETER;
    host::RegistryState& registry = host::Registry();
    std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
    host::detail::RegKey* key;
    status = host::KeyOfHandle(registry, KeyHandle, host::KEY_QUERY_VALUE, &key, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto entry = host::detail::FindValueEntry(key, name);
    if (entry == key->Values.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // The name as stored, which the information reports in its own case.
    const host::RegistryValue& value = entry->second;
    std::u16string wide_name = host::detail::Utf16FromUtf8(entry->first);
    ULONG name_length = static_cast<ULONG>(wide_name.size() * sizeof(char16_t));
    ULONG data_length = static_cast<ULONG>(value.Data.size());
    host::ValueInformationLayout layout;
    if (!host::LayOutValueInformation(KeyValueInformationClass, value.Type, name_length, data_length,
                                      &layout))
        return STATUS_INVALID_PARAMETER;

    *ResultLength = layout.Needed;
    if (Length < layout.Fixed)
        return STATUS_BUFFER_TOO_SMALL;
    UCHAR* buffer = static_cast<UCHAR*>(KeyValueInformation);
    bool complete = true;
    std::memcpy(buffer, layout.Header, layout.Fixed);
    // InjectFault("ZwQueryValueKey:offset"): an answer whose data offset points past the caller's buffer,
    // as a damaged registry hive could give, for a caller that must not trust it.
    if (KeyValueInformationClass == KeyValueFullInformation &&
        host::ShouldFail("ZwQueryValueKey:offset", nullptr))
        std::memcpy(buffer + offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), &Length, sizeof Length);
    if (layout.NameOffset != 0)
        host::CopyOut(buffer, Length, layout.NameOffset, wide_name.data(), name_length, &complete);
    if (layout.DataOffset != 0 && complete)
        host::CopyOut(buffer, Length, layout.DataOffset, value.Data.data(), data_length, &complete);
    return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                             ULONG DataSize) {
    host::detail::VerifyIrql("ZwSetValueKey");
    NTSTATUS status;
    if (host::ShouldFail("ZwSetValueKey", &status))
        return status;
    std::string name;
    if (ValueName == nullptr || !host::detail::Utf8FromUnicode(ValueName, &name))
        return STATUS_INVALID_PARAMETER;
    if (ValueName->Length / 2 > host::MAX_VALUE_NAME_CHARS || (Data == nullptr && DataSize != 0))
        return STATUS_INVALID_PARAMETER;
    host::RegistryObserver observer;
    std::string path;
    host::RegistryValue value{Type, std::vector<uint8_t>(static_cast<const uint8_t*>(Data),
                                                         static_cast<const uint8_t*>(Data) + DataSize)};
    {
        host::RegistryState& registry = host::Registry();
        std::lock_guard<std::recursive_mutex> lock(registry.Mutex);
        host::detail::RegKey* key;
        status = host::KeyOfHandle(registry, KeyHandle, host::KEY_SET_VALUE, &key, &path);
        if (!NT_SUCCESS(status))
            return status;
        host::detail::SetValue(key, name, value);
        observer = registry.Observer;
    }
    if (observer)
        observer(path, name, value);
    return STATUS_SUCCESS;
}
