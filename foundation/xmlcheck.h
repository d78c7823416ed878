// Consistency checks of XmlDocument's element table, for the unit tests and
// the fuzzer: the table kept up to date by edits must be what a fresh parse
// of the edited text gives.
#pragma once

#include <string>

#include "foundation/xmlcore.h"

namespace qm::xml {

// Empty when every reachable record fits the text and the links agree
// (parents, circular previous links, first-child marks, nesting, order);
// otherwise a description of the first fault found.
std::string CheckTable(const XmlDocument::Impl& doc);

// Empty when both documents hold the same element tree: the same names,
// offsets, lengths, tag lengths, not-ended and first-child marks, in the
// same parent/child/sibling arrangement.
std::string CompareTrees(const XmlDocument::Impl& expected, const XmlDocument::Impl& actual);

}  // namespace qm::xml
