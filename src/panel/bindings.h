#pragma once

#include <QtGlobal>
#include <span>

// What each command button sends, as data: the button by its control name (never by caption,
// since "ON", "VIDEO" and "RGB" each stand on several buttons that send different commands), the
// bare command code, and how the send is timed.
enum class SendKind {
    Plain,    // the current reply window and display period
    Window2s, // reply window 2000 ms, display 2500 ms, set before the send
    Window5s, // reply window 5000 ms, display 5500 ms, set before the send
    MenuPace, // after the send: repeat interval 200 ms and PadMode 1
};

struct OneShotBinding {
    const char* control;
    const char* code;
    SendKind kind;
};

// A press-and-hold button. Negative intervals are not set by the press: the cursor-pad arrows
// keep the repeat interval and take their reply and display intervals from the PadMode rule.
struct HoldBinding {
    quint8 holdCode;
    const char* control;
    const char* code;
    int timer1;
    int timer2;
    int timer4;
    bool isCursorArrow() const { return timer1 < 0; }
};

std::span<const OneShotBinding> oneShotBindings();
std::span<const HoldBinding> holdBindings();
const HoldBinding* holdBindingByCode(quint8 holdCode);
