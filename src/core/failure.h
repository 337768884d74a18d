#pragma once

#include <QByteArray>
#include <QString>
#include <exception>
#include <utility>
#include <variant>

// What the operator can do next about a failure of the line, kept apart from the description so
// that each program words it in its own terms: the panel has a settings group and --com1/--com2,
// the shell programs have --port and their own retry.
enum class Remedy {
    None,
    Reopen,     // open the line again once the advice is followed
    Reconnect,  // a connection is gone: open the line again
    NameDevice, // the device is wrong: name another with the program's device option
    Restart,    // the program on disk changed under it: start it again
};

// The words a program uses for the remedies. In nameDevice, %1 stands for the option.
struct RemedyWords {
    QString reopen;
    QString reconnect;
    QString nameDevice;
    QString restart;
};

// The panel's words: its settings group opens the port again.
RemedyWords panelRemedyWords();
// The words of a program run from a shell: it is run again. `program` names it for a restart.
RemedyWords shellRemedyWords(const QString& program = QStringLiteral("the program"));

// Why a step failed: what happened, in plain words, naming port and device; any advice that holds
// for every program ("check the address", "close that program"); the program's own remedy apart.
struct Failure {
    Failure() = default;
    Failure(QString description_, QString advice_ = {}, Remedy remedy_ = Remedy::None,
            QString option_ = {})
        : description(std::move(description_)), advice(std::move(advice_)), remedy(remedy_),
          option(std::move(option_)) {}

    QString description;
    QString advice;
    Remedy remedy = Remedy::None;
    QString option; // NameDevice: the option that names the device ("--com1", "--port")

    // The whole text for the operator: the description, then the advice after a semicolon, then
    // the remedy in the program's words (after ", then" when there is advice).
    QString text(const RemedyWords& words) const;
};

// A step's outcome: its value, or the failure that stopped it. Result<> is a step with no value.
template <typename T = std::monostate> class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::move(value)) {}
    Result(Failure failure) : v_(std::move(failure)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }
    const Failure& failure() const { return std::get<1>(v_); }

private:
    std::variant<T, Failure> v_;
};

inline Result<> succeeded() {
    return std::monostate{};
}

// The same failure thrown: how the window's steps (and the serial control it drives, which
// mirrors the control the window was designed around) end a handler. The steps after it do not
// run; only the panel's guard at the entry from the event loop catches it, and code outside the
// window turns it into a Result where it calls the serial control.
class StepFailure : public std::exception {
public:
    explicit StepFailure(Failure failure)
        : failure_(std::move(failure)), text_(failure_.text(panelRemedyWords())),
          utf8_(text_.toUtf8()) {}
    explicit StepFailure(QString description) : StepFailure(Failure{std::move(description)}) {}
    const Failure& failure() const noexcept { return failure_; }
    // The text in the panel's words.
    const QString& description() const noexcept { return text_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    Failure failure_;
    QString text_;
    QByteArray utf8_;
};
