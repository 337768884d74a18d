#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// The simulated projector's behaviour: its state and what it answers to each command. No I/O and
// no clock of its own: every call carries the current time in milliseconds, so the timed power
// transitions are reproducible in tests. Every reply choice lives in one table in the .cpp file.
class ProjectorModel {
public:
    enum class Power { StandBy, CountDown, On, CoolingDown };
    // Faults and warnings the status query reports on top of the power state. A temperature
    // warning stays through cool-down ("recovered" in stand-by) until the next power-on; a failed
    // lamp cools down and cannot be struck again; a power failure refuses every power command.
    struct Faults {
        bool temperatureWarning = false;
        bool lampFailure = false;
        bool powerFailure = false;
        bool noKeyInput = false;         // on, but the keys are locked out
        bool powerManagementOff = false; // lamp switched off by power management
    };

    static constexpr char Ack = 6;  // accepted command: Ack + CR
    static constexpr char Nak = 21; // unknown command: Nak + CR
    static constexpr char Cr = 13;
    static constexpr qint64 InitialLampHours = 1234;
    static constexpr qint64 MaxLampHours = 99999; // the lamp-hours reply has five digits

    // The state behind the replies. The table's rows (plain functions in the .cpp) read and change
    // it; callers outside use the accessors below.
    struct State {
        Power power = Power::StandBy;
        qint64 nowMs = 0;          // the latest time seen
        qint64 transitionAtMs = 0; // when CountDown or CoolingDown ends
        int inputMode = 1;         // 1..4
        bool pictureMuted = false; // NO SHOW
        Faults faults;
        qint64 lampHours = InitialLampHours;
        qint64 lampMs = 0; // burning time not yet a whole lamp hour
        qint64 countDownMs = 3000;
        qint64 coolDownMs = 5000;
        qint64 msPerLampHour = 3600 * 1000;
    };

    // Starts in stand-by, input 1, picture not muted, the lamp at its initial hours.
    explicit ProjectorModel(qint64 nowMs = 0);

    // The named states a simulator can start in or be put into, each the state behind one row
    // of the power status reply: "standby", "count-down", "on", "cooling-down", "power-fail",
    // "temperature-warning", ... (stateNames() lists them all).
    static QStringList stateNames();
    // Puts the projector into the named state at nowMs; false (and nothing changed) for a name
    // that is not one of stateNames().
    bool setState(const QString& name, qint64 nowMs);

    // One command, without its carriage return, received at nowMs; returns the reply bytes: a
    // status reply's characters and a CR, Ack + CR, or Nak + CR (also for a power-on the
    // projector cannot take now: cooling down, a failed lamp, a power failure). Any bytes are safe.
    // A time earlier than the latest one seen counts as that latest one.
    QByteArray reply(const QByteArray& command, qint64 nowMs);
    // The answer to a command the projector does not know: Nak + CR.
    static QByteArray rejection() { return QByteArray(1, Nak).append(Cr); }

    // How long power-on counts down and power-off cools down; negative values count as 0.
    // A change applies from the next power command on.
    void setCountDownMs(qint64 ms) { s_.countDownMs = qMax<qint64>(0, ms); }
    void setCoolDownMs(qint64 ms) { s_.coolDownMs = qMax<qint64>(0, ms); }
    // This many milliseconds of burning make one lamp hour (at least 1). A real hour by default;
    // a demo or a test may run the lamp clock faster.
    void setMsPerLampHour(qint64 ms) { s_.msPerLampHour = qMax<qint64>(1, ms); }

    Power power(qint64 nowMs);
    qint64 lampHours(qint64 nowMs);
    int inputMode() const { return s_.inputMode; }
    bool pictureMuted() const { return s_.pictureMuted; }
    const Faults& faults() const { return s_.faults; }

private:
    // Runs the timed transitions and the lamp clock up to nowMs.
    void advanceTo(qint64 nowMs);

    State s_;
};
