#pragma once

#include <QtGlobal>
#include <span>

// What each command button sends, as data: the button by its control name (never by caption,
// since "ON", "VIDEO" and "RGB" each stand on several buttons that send different commands), its
// name on rmq27-ctl's command line (lower case, hyphenated, unique: made from the button's group
// and caption), the caption, the bare command code, and how the send is timed. The panel and
// rmq27-ctl both send from this one table.
enum class SendKind {
    Plain,    // the current reply window and display period
    Window2s, // reply window 2000 ms, display 2500 ms, set before the send
    Window5s, // reply window 5000 ms, display 5500 ms, set before the send
    MenuPace, // after the send: repeat interval 200 ms and PadMode 1
};

struct OneShotBinding {
    const char* control;
    const char* name;
    const char* caption;
    const char* code;
    SendKind kind;
};

// A press-and-hold button. Negative intervals are not set by the press: the cursor-pad arrows
// keep the repeat interval and take their reply and display intervals from the PadMode rule.
struct HoldBinding {
    quint8 holdCode;
    const char* control;
    const char* name;
    const char* caption;
    const char* code;
    int timer1;
    int timer2;
    int timer4;
    bool isCursorArrow() const { return timer1 < 0; }
    // The reply window of one press: what the press sets, or the stored window for the arrows.
    int replyWindowMs() const;
};

// The reply window before any button has changed it, and the one the free-text line sets.
constexpr int StoredReplyWindowMs = 500;
constexpr int FreeTextReplyWindowMs = 2000;

// The reply window a one-shot button's exchange runs with when no earlier send has changed it.
int replyWindowMs(SendKind kind);

std::span<const OneShotBinding> oneShotBindings();
std::span<const HoldBinding> holdBindings();
const HoldBinding* holdBindingByCode(quint8 holdCode);
