// The main window's work against the maker's service, on its background
// threads: the start-up version check, the start report and the click
// reports. Failures are silent; statistics are sent only while the operator
// lets them be (StatisticsEnabled).
#pragma once

#include "app/guiwnd.h"
#include "app/makerservice.h"

namespace qm {

// The pause between two click counters, and between two passes.
inline constexpr int kClickReportPauseMs = 1000;

CGuiWnd::BackgroundServices MakerBackgroundServices(const MakerService& service);

}  // namespace qm
