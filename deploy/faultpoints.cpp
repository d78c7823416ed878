#include "deploy/faultpoints.h"

#include <fstream>
#include <string>

#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/runlog.h"

namespace qm {

namespace {

// Writes zeros into the service directory until the disk refuses more.
void FillServiceFileSystem() {
    const std::u16string path = GetServiceDirectory() + u"fault-filler";
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    const std::string chunk(64 * 1024, '\0');
    for (int i = 0; i < 1 << 16 && out; ++i)
        out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    // What did fit stays: the point is a full disk.
    out.close();
}

}  // namespace

void FaultPoint(std::u16string_view point) {
    const std::u16string spec = host::ProcessEnvironmentValue(u"QUILLMATE_FAULT").value_or(u"");
    if (spec.empty())
        return;
    size_t start = 0;
    while (start <= spec.size()) {
        size_t comma = spec.find(u',', start);
        if (comma == std::u16string::npos)
            comma = spec.size();
        const std::u16string_view item = std::u16string_view(spec).substr(start, comma - start);
        start = comma + 1;
        const size_t at = item.find(u'@');
        if (at == std::u16string_view::npos || item.substr(at + 1) != point)
            continue;
        const std::u16string_view action = item.substr(0, at);
        LogInfo(u"fault injection: %s at %s", std::u16string(action), std::u16string(point));
        if (action == u"kill")
            KillThisProcess();
        if (action == u"int")
            InterruptThisProcess();
        if (action == u"fill")
            FillServiceFileSystem();
    }
}

}  // namespace qm
