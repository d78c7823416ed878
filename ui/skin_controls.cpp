#include "ui/skin_controls.h"

namespace qm::ui {

void AddSkinControls(Window& window, const SkinWindow& layout) {
    for (const SkinControl& skin : layout.controls) {
        Control& control = window.AddControl(skin.kind, skin.name, skin.parent);
        control.SetText(skin.text);
        control.SetPos(skin.pos);
        if (!skin.group.empty())
            control.SetGroup(skin.group);
        if (skin.hasTextColor)
            control.SetTextColor(skin.textColor);
        if (skin.hasBkColor)
            control.SetBkColor(skin.bkColor);
        control.SetReadOnly(skin.readOnly);
        control.SetVisible(skin.visible);
    }
}

}  // namespace qm::ui
