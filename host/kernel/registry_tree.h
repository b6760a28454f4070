// The registry's tree of keys and values, shared by the registry calls and the .reg file reader and
// writer. Names keep the case they were created with and are compared without regard to case.
#pragma once

#include "host/kernel/kernel_host.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host {
namespace detail {

// Deeper keys are refused, as Windows refuses them: a hostile file cannot make the writer's or the
// destructor's recursion overflow the stack, nor the written paths grow without bound.
constexpr size_t MAX_KEY_DEPTH = 512; // levels below the root, the predefined key counting as one

struct RegKey {
    using SubkeyList = std::vector<std::unique_ptr<RegKey>>;
    using ValueList = std::vector<std::pair<std::string, RegistryValue>>;

    std::string Name;
    RegKey* Parent = nullptr; // null only for the root above the predefined keys; set by AddSubkey
    SubkeyList Subkeys;       // in the order they were created
    ValueList Values;         // in the order they were first set
    // Case-folded name -> position in Subkeys / Values, so a lookup among many siblings stays cheap.
    // Kept by the functions below; nothing else may add or remove entries.
    std::unordered_map<std::string, size_t> SubkeyIndex;
    std::unordered_map<std::string, size_t> ValueIndex;
};

// The predefined roots; every path starts with one of them.
extern const char* const REGISTRY_HIVES[5];

// A root holding the predefined keys and nothing else.
std::unique_ptr<RegKey> NewRegistryRoot();

// The entry named Name, compared without regard to case, or end().
RegKey::SubkeyList::iterator FindSubkeyEntry(RegKey* Key, const std::string& Name);
RegKey::ValueList::iterator FindValueEntry(RegKey* Key, const std::string& Name);
RegKey* FindSubkey(RegKey* Key, const std::string& Name);
// The existing or new subkey; null when it would lie deeper than MAX_KEY_DEPTH.
RegKey* AddSubkey(RegKey* Key, const std::string& Name);
size_t KeyDepth(const RegKey* Key); // 0 for the root, 1 for a predefined key
bool RemoveSubkey(RegKey* Key, const std::string& Name);
RegistryValue* FindValue(RegKey* Key, const std::string& Name);
void SetValue(RegKey* Key, const std::string& Name, const RegistryValue& Value);
bool RemoveValue(RegKey* Key, const std::string& Name);

// Parses the text of a .reg file into a new tree; on failure *Error names the line.
bool ParseRegFile(const std::string& Text, const std::string& FileName, std::unique_ptr<RegKey>* Root,
                  std::string* Error);
// The text of a .reg file holding every key and value of Root.
std::string FormatRegFile(const RegKey& Root);

} // namespace detail
} // namespace host
