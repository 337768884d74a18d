#include "panel/bindings.h"

#include <array>

namespace {

using enum SendKind;

constexpr std::array<OneShotBinding, 49> OneShots{{
    {"Command17", "C00", Plain},
    {"Command18", "C01", Plain},
    {"Command27", "C05", Plain},
    {"Command28", "C06", Plain},
    {"Command29", "C07", Plain},
    {"Command43", "C08", Plain},
    {"Command23", "C1C", MenuPace},
    {"Command24", "C1D", Plain},
    {"Command21", "C0D", Plain},
    {"Command22", "C0E", Plain},
    {"Command25", "C43", Plain},
    {"Command26", "C44", Plain},
    {"Command31", "C0F", Plain},
    {"Command32", "C10", Plain},
    {"Command4", "CF IMAGE STAND", Window2s},
    {"Command10", "CF IMAGE REAL", Window2s},
    {"Command11", "CF IMAGE CINEMA", Window2s},
    {"Command39", "CF IMAGE CUSTOM1", Window2s},
    {"Command40", "CF IMAGE CUSTOM2", Window2s},
    {"Command41", "CF IMAGE CUSTOM3", Window2s},
    {"Command42", "CF IMAGE CUSTOM4", Window2s},
    {"Command13", "C89", MenuPace},
    {"Command30", "C27", Plain},
    {"Command14", "C8A", Plain},
    {"Command3", "C1E", Plain},
    {"Command56", "CF KEYDIS NONE", Plain},
    {"Command57", "CF KEYDIS RC", Plain},
    {"Command58", "CF KEYDIS KEY", Plain},
    {"Command44", "CR0", Plain},
    {"Command45", "CR1", Plain},
    {"Command46", "CR3", Plain},
    {"Command47", "CR4", Plain},
    {"Command54", "CR6", Plain},
    {"Command52", "CR ALLPFAIL", Window2s},
    {"Command68", "CR PRESSURE", Plain},
    {"Command63", "CR FILREMAIN", Plain},
    {"Command64", "C50", Window5s},
    {"Command65", "C51", Window5s},
    {"Command38", "C52", Window5s},
    {"Command53", "C53", Window5s},
    {"Command76", "C54", Window5s},
    {"Command72", "C25", Window5s},
    {"Command12", "C23", Window5s},
    {"Command80", "C24", Window5s},
    {"Command81", "C33", Window5s},
    {"Command84", "C34", Window5s},
    {"Command82", "C35", Window5s},
    {"Command97", "CF FANSPEED MAX", Plain},
    {"Command98", "CF FANSPEED NOR", Plain},
}};

constexpr int Pad = -1;

constexpr std::array<HoldBinding, 19> Holds{{
    {3, "Command5", "C3C", Pad, Pad, Pad},   {4, "Command7", "C3D", Pad, Pad, Pad},
    {5, "Command9", "C3B", Pad, Pad, Pad},   {6, "Command8", "C3A", Pad, Pad, Pad},
    {7, "Command15", "C47", 150, 150, 190},  {8, "Command35", "C46", 150, 150, 190},
    {9, "Command36", "C4B", 150, 150, 190},  {10, "Command37", "C4A", 150, 150, 190},
    {13, "Command6", "C3F", 500, 200, 245},  {17, "Command48", "C30", 250, 200, 245},
    {18, "Command49", "C31", 250, 200, 245}, {19, "Command50", "C8E", 250, 200, 245},
    {20, "Command51", "C8F", 250, 200, 245}, {21, "Command59", "C5D", 150, 150, 190},
    {22, "Command62", "C5E", 150, 150, 190}, {23, "Command61", "C5F", 150, 150, 190},
    {24, "Command60", "C60", 150, 150, 190}, {25, "Command67", "C91", 250, 200, 245},
    {26, "Command66", "C90", 250, 200, 245},
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
