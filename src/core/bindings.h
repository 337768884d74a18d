#pragma once

#include <QtGlobal>
#include <optional>
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

// A reply window (how long a send waits for its reply) and the display period after it (how long
// the transcript lines stay), in milliseconds.
struct ReplyWindow {
    int replyMs;
    int displayMs;
};

// The reply windows of every kind of send, in one place.
//
// The window a send of this kind sets before it goes out; plain and menu-pace sends set none and
// run with whatever the last setting left. The free-text line's SEND sets the 2 s window.
constexpr std::optional<ReplyWindow> replyWindowSetBy(SendKind kind) {
    switch (kind) {
    case SendKind::Window2s:
        return ReplyWindow{2000, 2500};
    case SendKind::Window5s:
        return ReplyWindow{5000, 5500};
    case SendKind::Plain:
    case SendKind::MenuPace:
        break;
    }
    return std::nullopt;
}

// What the cursor-pad arrows set on their press, by PadMode (0 sets none).
constexpr std::optional<ReplyWindow> cursorPadWindow(quint8 padMode) {
    if (padMode == 1) {
        return ReplyWindow{150, 190};
    }
    if (padMode == 3) {
        return ReplyWindow{5, 5};
    }
    return std::nullopt;
}

// The window stored with the panel, which every release of a hold button sets again.
constexpr ReplyWindow StoredReplyWindow{500, 1000};

// The reply window before any button has changed it, and the one the free-text line sets.
constexpr int StoredReplyWindowMs = StoredReplyWindow.replyMs;
constexpr int FreeTextReplyWindowMs = replyWindowSetBy(SendKind::Window2s)->replyMs;

// The reply window a one-shot button's exchange runs with when no earlier send has changed it.
constexpr int replyWindowMs(SendKind kind) {
    return replyWindowSetBy(kind).value_or(StoredReplyWindow).replyMs;
}

std::span<const OneShotBinding> oneShotBindings();
std::span<const HoldBinding> holdBindings();
const HoldBinding* holdBindingByCode(quint8 holdCode);
