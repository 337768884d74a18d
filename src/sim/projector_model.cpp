#include "sim/projector_model.h"

namespace {

using State = ProjectorModel::State;
using Power = ProjectorModel::Power;

bool lampLit(Power p) {
    return p == Power::CountDown || p == Power::On;
}

void powerOn(State& s) {
    // Only from stand-by: while cooling down the lamp must not be struck again (refuses() answers
    // that with Nak). A new start ends a recovered warning and a power-management switch-off.
    if (s.power == Power::StandBy) {
        s.power = Power::CountDown;
        s.transitionAtMs = s.nowMs + s.countDownMs;
        s.faults.temperatureWarning = false;
        s.faults.powerManagementOff = false;
    }
}

void powerOff(State& s) {
    if (lampLit(s.power)) {
        s.power = Power::CoolingDown;
        s.transitionAtMs = s.nowMs + s.coolDownMs;
        s.pictureMuted = false;
        s.faults.noKeyInput = false;
    }
}

// Commands the projector refuses with Nak in its present state.
bool refuses(const QByteArray& command, const State& s) {
    if (command == "C00") {
        return s.power == Power::CoolingDown || s.faults.lampFailure || s.faults.powerFailure;
    }
    return command == "C01" && s.faults.powerFailure;
}

QByteArray powerStatus(const State& s) {
    const ProjectorModel::Faults& f = s.faults;
    if (f.powerFailure) {
        return "10";
    }
    if (f.lampFailure) {
        return s.power == Power::CoolingDown ? "21" : "81";
    }
    if (f.powerManagementOff && s.power == Power::StandBy) {
        return f.temperatureWarning ? "24" : "04";
    }
    switch (s.power) {
    case Power::StandBy:
        return f.temperatureWarning ? "88" : "80";
    case Power::CountDown:
        return "40";
    case Power::On:
        return f.temperatureWarning ? "08" : f.noKeyInput ? "02" : "00";
    case Power::CoolingDown:
        return f.temperatureWarning ? "28" : "20";
    }
    return "80";
}

// The named states: the power state and the faults behind each row of the power status reply.
struct NamedState {
    const char* name;
    Power power;
    ProjectorModel::Faults faults;
};

const NamedState kNamedStates[] = {
    {"standby", Power::StandBy, {}},
    {"count-down", Power::CountDown, {}},
    {"on", Power::On, {}},
    {"cooling-down", Power::CoolingDown, {}},
    {"power-fail", Power::StandBy, {.powerFailure = true}},
    {"temperature-warning", Power::On, {.temperatureWarning = true}},
    {"temperature-warning-cooling-down", Power::CoolingDown, {.temperatureWarning = true}},
    {"temperature-warning-recovered", Power::StandBy, {.temperatureWarning = true}},
    {"no-key-input", Power::On, {.noKeyInput = true}},
    {"lamp-off", Power::StandBy, {.powerManagementOff = true}},
    {"lamp-off-temperature-warning",
     Power::StandBy,
     {.temperatureWarning = true, .powerManagementOff = true}},
    {"lamp-failure-cooling-down", Power::CoolingDown, {.lampFailure = true}},
    {"lamp-failure", Power::StandBy, {.lampFailure = true}},
};

// Three fixed-width fields of five characters with one space between them. The panel shows reply
// characters 1-5, 8-11 and 13-17, that is the first and third fields whole and the second without
// its sign, so every temperature reads as a number on the status line.
QByteArray temperatures(const State& s) {
    switch (s.power) {
    case Power::CountDown:
    case Power::On:
        return s.faults.temperatureWarning ? "+61.5 +66.0 +35.5" : "+38.5 +41.0 +29.5";
    case Power::CoolingDown:
        return "+33.0 +36.5 +27.0";
    case Power::StandBy:
        break;
    }
    return "+24.5 +25.0 +23.5";
}

QByteArray lampHoursText(const State& s) {
    return QByteArray::number(qBound<qint64>(0, s.lampHours, ProjectorModel::MaxLampHours))
        .rightJustified(5, '0');
}

// One row per command the projector knows. effect: what the command changes (none for queries);
// answer: a status reply's characters, to which a CR is added; rows without an answer are
// acknowledged with Ack + CR. A command in no row gets Nak + CR.
struct Row {
    const char* command;
    void (*effect)(State&);
    QByteArray (*answer)(const State&);
};

const Row kReplyTable[] = {
    // Power: stand-by -> count down -> on; on -> cooling down -> stand-by.
    {"C00", powerOn, nullptr},
    {"C01", powerOff, nullptr},
    // Input mode, read back by CR1.
    {"C05", [](State& s) { s.inputMode = 1; }, nullptr},
    {"C06", [](State& s) { s.inputMode = 2; }, nullptr},
    {"C07", [](State& s) { s.inputMode = 3; }, nullptr},
    {"C08", [](State& s) { s.inputMode = 4; }, nullptr},
    // NO SHOW: the picture mute, read back by CRA.
    {"C0D", [](State& s) { s.pictureMuted = true; }, nullptr},
    {"C0E", [](State& s) { s.pictureMuted = false; }, nullptr},
    // Accepted without a state of their own.
    {"C0F", nullptr, nullptr},
    {"C10", nullptr, nullptr},
    {"C1C", nullptr, nullptr},
    {"C1D", nullptr, nullptr},
    {"C1E", nullptr, nullptr},
    {"C23", nullptr, nullptr},
    {"C24", nullptr, nullptr},
    {"C25", nullptr, nullptr},
    {"C27", nullptr, nullptr},
    {"C30", nullptr, nullptr},
    {"C31", nullptr, nullptr},
    {"C33", nullptr, nullptr},
    {"C34", nullptr, nullptr},
    {"C35", nullptr, nullptr},
    {"C3A", nullptr, nullptr},
    {"C3B", nullptr, nullptr},
    {"C3C", nullptr, nullptr},
    {"C3D", nullptr, nullptr},
    {"C3F", nullptr, nullptr},
    {"C43", nullptr, nullptr},
    {"C44", nullptr, nullptr},
    {"C46", nullptr, nullptr},
    {"C47", nullptr, nullptr},
    {"C4A", nullptr, nullptr},
    {"C4B", nullptr, nullptr},
    {"C50", nullptr, nullptr},
    {"C51", nullptr, nullptr},
    {"C52", nullptr, nullptr},
    {"C53", nullptr, nullptr},
    {"C54", nullptr, nullptr},
    {"C5D", nullptr, nullptr},
    {"C5E", nullptr, nullptr},
    {"C5F", nullptr, nullptr},
    {"C60", nullptr, nullptr},
    {"C89", nullptr, nullptr},
    {"C8A", nullptr, nullptr},
    {"C8E", nullptr, nullptr},
    {"C8F", nullptr, nullptr},
    {"C90", nullptr, nullptr},
    {"C91", nullptr, nullptr},
    {"CF IMAGE STAND", nullptr, nullptr},
    {"CF IMAGE REAL", nullptr, nullptr},
    {"CF IMAGE CINEMA", nullptr, nullptr},
    {"CF IMAGE CUSTOM1", nullptr, nullptr},
    {"CF IMAGE CUSTOM2", nullptr, nullptr},
    {"CF IMAGE CUSTOM3", nullptr, nullptr},
    {"CF IMAGE CUSTOM4", nullptr, nullptr},
    {"CF KEYDIS NONE", nullptr, nullptr},
    {"CF KEYDIS RC", nullptr, nullptr},
    {"CF KEYDIS KEY", nullptr, nullptr},
    {"CF FANSPEED MAX", nullptr, nullptr},
    {"CF FANSPEED NOR", nullptr, nullptr},

    // Status queries.
    // 80 stand-by, 40 count down, 00 on, 20 cooling down.
    {"CR0", nullptr, powerStatus},
    // Input mode, one digit.
    {"CR1", nullptr, [](const State& s) { return QByteArray::number(s.inputMode); }},
    // Lamp hours, five digits.
    {"CR3", nullptr, lampHoursText},
    // Picture reversal: 11, neither direction reversed.
    {"CR4", nullptr, [](const State&) { return QByteArray("11"); }},
    // Three temperatures in degrees Celsius, warmer while the lamp burns.
    {"CR6", nullptr, temperatures},
    // Mute: FF in stand-by, else 01 with NO SHOW on and 00 with it off.
    {"CRA", nullptr,
     [](const State& s) {
         if (s.power == Power::StandBy) {
             return QByteArray("FF");
         }
         return QByteArray(s.pictureMuted ? "01" : "00");
     }},
    // Model and firmware, free text.
    {"CR9", nullptr, [](const State&) { return QByteArray("RM-Q27 SIM VER1.40"); }},
    // Air pressure sensor reading: 853 reads as 1013 hPa on the panel
    // ((853 * 5 / 1024 - 0.204) / 0.00459 + 150 = 1012.97).
    {"CR PRESSURE", nullptr, [](const State&) { return QByteArray("0853"); }},
    // Lamp mode: two-lamp mode with lamp 1 lit, or both off.
    {"CR7", nullptr, [](const State& s) { return QByteArray(lampLit(s.power) ? "01" : "00"); }},
    // No lamp has failed.
    {"CR ALLPFAIL", nullptr, [](const State&) { return QByteArray("00"); }},
    // Filter hours left.
    {"CR FILREMAIN", nullptr, [](const State&) { return QByteArray("0850"); }},
};

const Row* findRow(const QByteArray& command) {
    for (const Row& row : kReplyTable) {
        if (command == row.command) {
            return &row;
        }
    }
    return nullptr;
}

} // namespace

ProjectorModel::ProjectorModel(qint64 nowMs) {
    s_.nowMs = nowMs;
}

void ProjectorModel::advanceTo(qint64 nowMs) {
    nowMs = qMax(nowMs, s_.nowMs);
    for (;;) {
        const bool timed = s_.power == Power::CountDown || s_.power == Power::CoolingDown;
        const qint64 until = timed ? qMin(s_.transitionAtMs, nowMs) : nowMs;
        if (lampLit(s_.power)) {
            s_.lampMs += until - s_.nowMs;
            s_.lampHours = qMin(MaxLampHours, s_.lampHours + s_.lampMs / s_.msPerLampHour);
            s_.lampMs %= s_.msPerLampHour;
        }
        s_.nowMs = until;
        if (!timed || s_.transitionAtMs > nowMs) {
            return;
        }
        s_.power = s_.power == Power::CountDown ? Power::On : Power::StandBy;
    }
}

QByteArray ProjectorModel::reply(const QByteArray& command, qint64 nowMs) {
    advanceTo(nowMs);
    const Row* row = findRow(command);
    if (!row || refuses(command, s_)) {
        return rejection();
    }
    if (row->effect) {
        row->effect(s_);
        advanceTo(s_.nowMs); // a zero delay takes effect at once
    }
    QByteArray out = row->answer ? row->answer(s_) : QByteArray(1, Ack);
    out.append(Cr);
    return out;
}

QStringList ProjectorModel::stateNames() {
    QStringList names;
    for (const NamedState& n : kNamedStates) {
        names << QLatin1String(n.name);
    }
    return names;
}

bool ProjectorModel::setState(const QString& name, qint64 nowMs) {
    for (const NamedState& n : kNamedStates) {
        if (name == QLatin1String(n.name)) {
            advanceTo(nowMs);
            s_.power = n.power;
            s_.faults = n.faults;
            s_.transitionAtMs =
                s_.nowMs + (n.power == Power::CountDown ? s_.countDownMs : s_.coolDownMs);
            if (!lampLit(n.power)) {
                s_.pictureMuted = false;
            }
            return true;
        }
    }
    return false;
}

ProjectorModel::Power ProjectorModel::power(qint64 nowMs) {
    advanceTo(nowMs);
    return s_.power;
}

qint64 ProjectorModel::lampHours(qint64 nowMs) {
    advanceTo(nowMs);
    return s_.lampHours;
}
