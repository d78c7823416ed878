// Fills a window's control model from a skin layout: every control with its
// caption, position, option group, colours and initial visibility.
#pragma once

#include "ui/skin.h"
#include "ui/window.h"

namespace qm::ui {

void AddSkinControls(Window& window, const SkinWindow& layout);

}  // namespace qm::ui
