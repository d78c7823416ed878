// Brace counting over nginx configuration text, shared by the block split
// and by edits that need the end of a block.
#pragma once

#include <cstddef>
#include <string_view>

#include "foundation/regex.h"

namespace qm {

struct NginxBlockScan {
    size_t end = 0;            // just past the brace that balanced the count
    bool balanced = false;     // false: the text ended first (end is its size)
    bool closedFirst = false;  // a "}" came before any "{": no block starts here
};

// Counts braces from `start` line by line. A line whose text from the
// current position begins with "#" (after blanks) is a comment and holds
// no braces that count; braces after other text count, also after a "#"
// in the middle of a line.
NginxBlockScan ScanNginxBlock(std::u16string_view text, size_t start);

// The "ssl_certificate" and "ssl_certificate_key" directive lines.
const Regex& NginxCertificateLine();
const Regex& NginxCertificateKeyLine();

// A server block with both directives serves HTTPS.
bool HasCertificateLines(std::u16string_view block);

}  // namespace qm
