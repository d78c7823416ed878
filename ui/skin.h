// Skins: a window's layout and images, read out of a ZIP archive held in
// memory (the executable carries one archive per language).
//
// A layout is an XML file of our own design:
//
//   <Window name="VantrelGui" size="750,520" caption="0,0,750,40"
//           icon="icon.png" bkcolor="#F4F6FA">
//     <Label name="lbTitle" pos="48,8,300,24" text="QUILLMATE" font="16"
//            bold="true" textcolor="#FFFFFF"/>
//     <Container name="ctSign" pos="0,90,750,380">
//       <Option name="opIIS" pos="..." text="IIS" group="GroupWebServiceType"
//               image="radio_off.png" selectedimage="radio_on.png"/>
//     </Container>
//   </Window>
//
// Element names are the control kinds (Label, Button, Option, Edit, Text,
// Progress, Container); children of a Container are its controls, with
// positions relative to the container's top left. Colours are "#RRGGBB" or
// "#AARRGGBB" (alpha 00 is transparent).
#pragma once

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ui/control.h"

namespace qm::ui {

// A skin that cannot be used; what() says which archive entry or layout
// attribute is at fault.
class SkinError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct SkinLimits {
    size_t maxEntries = 256;
    size_t maxEntryBytes = 4 * 1024 * 1024;   // uncompressed, per entry
    size_t maxTotalBytes = 16 * 1024 * 1024;  // uncompressed, all entries
};

struct SkinControl {
    ControlKind kind = ControlKind::Label;
    std::string name;
    std::string parent;  // the enclosing container's name; empty at top level
    Rect pos;            // relative to the parent (the window at top level)
    std::u16string text;
    std::u16string tooltip;     // shown while the mouse rests on the control
    std::string group;          // option group
    std::string image;          // drawn instead of (or beside) the text
    std::string selectedImage;  // an option's image while it is selected
    std::string hoverImage;     // a button's image under the mouse
    bool hasTextColor = false;
    Color textColor = 0;
    bool hasBkColor = false;
    Color bkColor = 0;
    int fontSize = 0;  // 0: the backend's default
    bool bold = false;
    bool link = false;  // drawn as a link (underlined, hand cursor)
    std::string align;  // "left", "center" (default for buttons), "right"
    bool visible = true;
    bool readOnly = false;
    bool multiline = false;  // an Edit of several lines
};

struct SkinWindow {
    std::string name;
    int width = 0;
    int height = 0;
    Rect caption;  // the area that drags the window (its own title bar)
    std::string icon;
    bool hasBkColor = false;
    Color bkColor = 0;
    std::string bkImage;
    // Parents come before their children.
    std::vector<SkinControl> controls;

    // nullptr when there is no such control (names compare case-insensitively).
    const SkinControl* Find(std::string_view controlName) const;
};

class SkinArchive {
public:
    SkinArchive() = default;

    // Reads every entry of a ZIP archive in memory. Throws SkinError for an
    // archive that cannot be read, an entry named with an absolute path, a
    // drive letter, a backslash or a ".." part, and for entries or totals
    // over the limits.
    static SkinArchive FromZip(std::string_view zipBytes, const SkinLimits& limits = {});

    bool Has(std::string_view fileName) const;
    // The entry's bytes; throws SkinError when there is none.
    const std::string& File(std::string_view fileName) const;
    std::vector<std::string> FileNames() const;

    // Parses a layout of this archive. Throws SkinError for a layout that is
    // missing or not well-formed, an unknown element (control kind), a
    // control without a name or with a name used twice, a position or
    // colour that cannot be read, and an image it names that the archive
    // lacks.
    SkinWindow Layout(std::string_view layoutFile) const;

private:
    std::map<std::string, std::string> files_;
};

}  // namespace qm::ui
