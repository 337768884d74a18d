#pragma once

#include <QString>
#include <exception>

// The one failure type of the panel. A step that fails throws it with a description the operator
// can act on; the steps after it do not run. Only the guard at the entry from the event loop
// catches it (see FailureGuard).
class PanelFailure : public std::exception {
public:
    explicit PanelFailure(QString description)
        : description_(std::move(description)), utf8_(description_.toUtf8()) {}
    const QString& description() const noexcept { return description_; }
    const char* what() const noexcept override { return utf8_.constData(); }

private:
    QString description_;
    QByteArray utf8_;
};
