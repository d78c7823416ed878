// Resources carried inside the executable (the language tables), found by
// type and id like the program's Windows resources.
#pragma once

#include <span>
#include <string_view>

namespace qm {

struct EmbeddedResource {
    std::string_view type;  // "XML"
    int id;
    std::string_view bytes;
};

// Every embedded resource (generated at build time).
std::span<const EmbeddedResource> EmbeddedResources();

// nullptr when no resource has that type and id.
const EmbeddedResource* FindEmbeddedResource(std::string_view type, int id);

}  // namespace qm
