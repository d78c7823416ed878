// Fault injection at the phase boundaries of deployments and undos, for the
// tests that prove they recover: QUILLMATE_FAULT="ACTION@POINT[,...]" with
// ACTION "kill" (the process ends at once, as by kill -9), "int" (an
// interrupt, as by Ctrl+C) or "fill" (the service directory's file system is
// filled up). Without the variable nothing happens.
#pragma once

#include <string_view>

namespace qm {

void FaultPoint(std::u16string_view point);

}  // namespace qm
