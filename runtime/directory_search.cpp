// Directory search over the platform's FindFirstFile / FindNextFile.
#include "runtime/directory_search.h"

namespace rt {

TextValue FindEntry(const char* pattern, std::uint32_t attributeMask, std::uint32_t filesOnly,
                    plat::FindHandle* search) {
    const std::uint32_t mask = attributeMask & kSearchableAttributes;
    auto accepted = [&](const plat::FindEntry& e) {
        if (filesOnly) return (e.attributes & plat::kAttrDirectory) == 0;
        return mask == 0 ? e.attributes == 0 : (e.attributes & mask) != 0;
    };
    plat::FindEntry entry;
    bool found;
    if (pattern && pattern[0] != '\0') {
        if (*search) plat::FindClose(*search);
        *search = plat::FindFirstFile(pattern, &entry);
        found = *search != nullptr;
    } else {
        if (!*search) return nullptr;
        found = plat::FindNextFile(*search, &entry);
    }
    while (found && !accepted(entry)) found = plat::FindNextFile(*search, &entry);
    if (!found) {
        if (*search) plat::FindClose(*search);
        *search = nullptr;
        return nullptr;
    }
    return CopyText(entry.name.c_str());
}

}  // namespace rt
