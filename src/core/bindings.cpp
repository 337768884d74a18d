#include "core/bindings.h"

#include <array>

namespace {

using enum SendKind;

constexpr std::array<OneShotBinding, 49> OneShots{{
    {"Command17", "power-on", "ON", "C00", Plain},
    {"Command18", "power-off", "OFF", "C01", Plain},
    {"Command27", "input-1", "1", "C05", Plain},
    {"Command28", "input-2", "2", "C06", Plain},
    {"Command29", "input-3", "3", "C07", Plain},
    {"Command43", "input-network", "NETWORK", "C08", Plain},
    {"Command23", "menu-on", "ON", "C1C", MenuPace},
    {"Command24", "menu-off", "OFF", "C1D", Plain},
    {"Command21", "no-show-on", "ON", "C0D", Plain},
    {"Command22", "no-show-off", "OFF", "C0E", Plain},
    {"Command25", "freeze-on", "ON", "C43", Plain},
    {"Command26", "freeze-off", "OFF", "C44", Plain},
    {"Command31", "av-size-regular", "Regular", "C0F", Plain},
    {"Command32", "av-size-wide", "Wide", "C10", Plain},
    {"Command4", "picture-standard", "STANDARD", "CF IMAGE STAND", Window2s},
    {"Command10", "picture-real", "REAL", "CF IMAGE REAL", Window2s},
    {"Command11", "picture-cinema", "CINEMA", "CF IMAGE CINEMA", Window2s},
    {"Command39", "picture-image1", "IMAGE1", "CF IMAGE CUSTOM1", Window2s},
    {"Command40", "picture-image2", "IMAGE2", "CF IMAGE CUSTOM2", Window2s},
    {"Command41", "picture-image3", "IMAGE3", "CF IMAGE CUSTOM3", Window2s},
    {"Command42", "picture-image4", "IMAGE4", "CF IMAGE CUSTOM4", Window2s},
    {"Command13", "a-image", "A-IMAGE", "C89", MenuPace},
    {"Command30", "image", "IMAGE", "C27", Plain},
    {"Command14", "p-timer", "P-TIMER", "C8A", Plain},
    {"Command3", "display-clear", "DISPLAY CLEAR", "C1E", Plain},
    {"Command56", "key-lock-none", "NONE", "CF KEYDIS NONE", Plain},
    {"Command57", "key-lock-rc", "R/C", "CF KEYDIS RC", Plain},
    {"Command58", "key-lock-key", "KEY", "CF KEYDIS KEY", Plain},
    {"Command44", "status", "STATUS", "CR0", Plain},
    {"Command45", "mode", "MODE", "CR1", Plain},
    {"Command46", "lamp-time", "L-TIME", "CR3", Plain},
    {"Command47", "setting", "SETTING", "CR4", Plain},
    {"Command54", "temp", "TEMP", "CR6", Plain},
    {"Command52", "p-fail", "P-FAIL", "CR ALLPFAIL", Window2s},
    {"Command68", "pressure", "PRESSURE", "CR PRESSURE", Plain},
    {"Command63", "filter", "FILTER(usable)", "CR FILREMAIN", Plain},
    {"Command64", "terminal-1-rgb", "RGB", "C50", Window5s},
    {"Command65", "terminal-1-scart", "SCART", "C51", Window5s},
    {"Command38", "terminal-1-dvi", "DVI", "C52", Window5s},
    {"Command53", "terminal-1-hdcp", "HDCP", "C53", Window5s},
    {"Command76", "terminal-1-monitor-out", "Monitor OUT", "C54", Window5s},
    {"Command72", "terminal-2-rgb", "RGB", "C25", Window5s},
    {"Command12", "terminal-2-video", "VIDEO", "C23", Window5s},
    {"Command80", "terminal-2-ypbpr", "Y,Pb/Cb,Pr/Cr", "C24", Window5s},
    {"Command81", "terminal-3-video", "VIDEO", "C33", Window5s},
    {"Command84", "terminal-3-s-video", "S-VIDEO", "C34", Window5s},
    {"Command82", "terminal-3-ypbpr", "Y,Pb/Cb,Pr/Cr", "C35", Window5s},
    {"Command97", "fan-speed-max", "MAX", "CF FANSPEED MAX", Plain},
    {"Command98", "fan-speed-normal", "NOR", "CF FANSPEED NOR", Plain},
}};

constexpr int Pad = -1;

constexpr std::array<HoldBinding, 19> Holds{{
    {3, "Command5", "pad-up", "↑", "C3C", Pad, Pad, Pad},
    {4, "Command7", "pad-down", "↓", "C3D", Pad, Pad, Pad},
    {5, "Command9", "pad-left", "←", "C3B", Pad, Pad, Pad},
    {6, "Command8", "pad-right", "→", "C3A", Pad, Pad, Pad},
    {7, "Command15", "zoom-plus", "+", "C47", 150, 150, 190},
    {8, "Command35", "zoom-minus", "-", "C46", 150, 150, 190},
    {9, "Command36", "focus-plus", "+", "C4B", 150, 150, 190},
    {10, "Command37", "focus-minus", "-", "C4A", 150, 150, 190},
    {13, "Command6", "pad-enter", "ENTER", "C3F", 500, 200, 245},
    {17, "Command48", "d-zoom-plus", "+", "C30", 250, 200, 245},
    {18, "Command49", "d-zoom-minus", "-", "C31", 250, 200, 245},
    {19, "Command50", "keystone-up", "↑", "C8E", 250, 200, 245},
    {20, "Command51", "keystone-down", "↓", "C8F", 250, 200, 245},
    {21, "Command59", "lens-shift-up", "↑", "C5D", 150, 150, 190},
    {22, "Command62", "lens-shift-down", "↓", "C5E", 150, 150, 190},
    {23, "Command61", "lens-shift-left", "←", "C5F", 150, 150, 190},
    {24, "Command60", "lens-shift-right", "→", "C60", 150, 150, 190},
    {25, "Command67", "keystone-left", "←", "C91", 250, 200, 245},
    {26, "Command66", "keystone-right", "→", "C90", 250, 200, 245},
}};

} // namespace

std::span<const OneShotBinding> oneShotBindings() {
    return OneShots;
}
std::span<const HoldBinding> holdBindings() {
    return Holds;
}

const HoldBinding* holdBindingByCode(quint8 holdCode) {
    for (const HoldBinding& hold : Holds) {
        if (hold.holdCode == holdCode) {
            return &hold;
        }
    }
    return nullptr;
}

int HoldBinding::replyWindowMs() const {
    return isCursorArrow() ? StoredReplyWindowMs : timer2;
}
