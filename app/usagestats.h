// Usage statistics: a report when a new version (or product) starts for the
// first time, and counts of the operator's clicks. The last reported product
// and version are kept in Config/User.xml under the program directory, so
// that a start is reported once per version. Failures are silent.
#pragma once

#include <string>
#include <string_view>

#include "app/makermessages.h"

namespace qm {

class UsageStats {
public:
    // What User.xml holds before the first report.
    static constexpr std::string_view kEmptyRecord =
        "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\r\n<config>\r\n"
        "<product name=\"\" version=\"\" />\r\n</config>\r\n";

    UsageStats(std::u16string url, std::u16string caFile);

    // Reports the start unless the record already names this product and
    // version, then records them. True when there was nothing to report or
    // the report was accepted.
    bool SendStartReport();
    // Reports `count` clicks of the kind `action` ("otherLink", ...).
    bool SendActionReport(int count, const std::string& action);

    // Config/User.xml in the program directory.
    static std::u16string RecordPath();

private:
    MakerEndpoint endpoint_;
};

}  // namespace qm
