#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>
#include <optional>

// The user's settings file, read and written with care: it may be anything a user's home can
// hold (a pipe, a huge file, another program's file), and none of that may hang the program,
// grow its memory or be overwritten.
namespace settings_file {

// A settings file is never longer than this; a longer one is not ours.
constexpr qint64 MaxBytes = 64 * 1024;

// What is at the path: whether anything is, its bytes, or why they cannot be used.
struct [[nodiscard]] Content {
    bool exists = false;
    QByteArray bytes;
    std::optional<QString> problem;
};

// Reads the file only if it is a regular file of at most MaxBytes, opened without blocking; a
// pipe, a device, a directory or a longer file is a problem, read no further.
Content read(const QString& path);

// The values the text holds under `keys` as Qt's INI format reads them, or why the text is no
// settings file (binary bytes, lines that are no INI, JSON).
struct [[nodiscard]] Values {
    QList<QVariant> values;
    std::optional<QString> problem;
};
Values parse(const QByteArray& text, const QStringList& keys);

// The text with `key` set to `value`, as Qt's INI format writes it; nothing when it cannot be
// made.
[[nodiscard]] std::optional<QByteArray> withValue(const QByteArray& text, const QString& key,
                                                  const QString& value);

// Replaces the file with `bytes` in one step (a new file renamed over it), making its folder
// first; why it could not, or nothing.
[[nodiscard]] std::optional<QString> replace(const QString& path, const QByteArray& bytes);

} // namespace settings_file
