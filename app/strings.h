// The interface strings: a language table ("config"/"skin", one element per
// key holding the text in "val") embedded in the executable and read through
// XmlDocument. Each window loads the keys it needs once, at construction.
#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>

namespace qm {

// The keys the main window reads, in its own order.
std::span<const std::string_view> MainWindowStringKeys();

class StringTable {
public:
    StringTable() = default;

    // Reads `keys` from the language table resource `tableId` (139 Chinese,
    // 140 English). A key that is not in the table reads as empty; only the
    // first occurrence of a key counts. Raises "FindResource failed" for an
    // unknown table, "SizeofResource or LockResource failed" for an empty
    // one and "undefined" when the table has no "config"/"skin".
    static StringTable Load(int tableId, std::span<const std::string_view> keys);

    // The text of `key`; empty when the key was not loaded or not found.
    const std::u16string& Get(std::string_view key) const;
    size_t size() const { return texts_.size(); }

private:
    std::map<std::string, std::u16string, std::less<>> texts_;
};

}  // namespace qm
