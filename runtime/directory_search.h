// Directory search for program code (SvcNotify code 0): the names in a folder, one per call.
//
// Invariants:
//  1. *search is null or a search in progress; a search that finds nothing more is closed and
//     set to null, so that the caller's handle never outlives its search.
//  2. The attribute mask keeps only the bits a search can match (kSearchableAttributes).
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "runtime/value.h"

namespace rt {

// The attribute bits that a mask may ask for.
constexpr std::uint32_t kSearchableAttributes = plat::kAttrReadOnly | plat::kAttrHidden |
                                                plat::kAttrSystem | plat::kAttrDirectory |
                                                plat::kAttrArchive;
static_assert(kSearchableAttributes == 0x37);

// Finds the next directory entry: a new search when pattern is given, else the next entry of
// *search. With filesOnly, directories are skipped; otherwise an entry is kept when it has one
// of the mask's attributes, or, for a mask of 0, when it has none. A new heap text, or null.
TextValue FindEntry(const char* pattern, std::uint32_t attributeMask, std::uint32_t filesOnly,
                    plat::FindHandle* search);

}  // namespace rt
