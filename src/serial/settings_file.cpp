#include "serial/settings_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>
#include <QTemporaryFile>

#include <functional>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace settings_file {

namespace {

const QString NotSettings = QStringLiteral("it is not a settings file");
const QString TooLarge = QStringLiteral("it is larger than %1 KiB").arg(MaxBytes / 1024);

// Text an editor would write: UTF-8 with no control characters but tab and line ends, every line
// blank, a comment, a [section] or a key=value.
bool looksLikeIni(const QByteArray& text) {
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) {
            return false;
        }
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString decoded = utf8(text);
    if (utf8.hasError()) {
        return false;
    }
    for (const QString& raw : decoded.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) ||
            line.startsWith(QLatin1Char('#'))) {
            continue;
        }
        if (line.startsWith(QLatin1Char('[')) ? !line.endsWith(QLatin1Char(']'))
                                              : !line.contains(QLatin1Char('='))) {
            return false;
        }
    }
    return true;
}

// Qt's INI format over a private copy of the text: Qt never opens the user's file itself, and a
// copy of its own is never answered from Qt's cache of files it read before.
template <typename Work> bool onCopy(const QByteArray& text, Work&& work) {
    QTemporaryFile copy(QDir::temp().filePath(QStringLiteral("rmq27-settings-XXXXXX.ini")));
    if (!copy.open() || copy.write(text) != text.size() || !copy.flush()) {
        return false;
    }
    copy.close();
    return std::invoke(std::forward<Work>(work), copy.fileName());
}

} // namespace

Content read(const QString& path) {
    Content content;
#ifdef Q_OS_UNIX
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) {
            content.exists = true;
            content.problem = QString::fromLocal8Bit(std::strerror(errno));
        }
        return content;
    }
    content.exists = true;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        content.problem = QStringLiteral("it is not a regular file");
    } else if (info.st_size > MaxBytes) {
        content.problem = TooLarge;
    } else {
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                content.bytes.append(buffer, n);
                if (content.bytes.size() > MaxBytes) {
                    content.problem = TooLarge;
                    break;
                }
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n < 0) {
                    content.problem = QString::fromLocal8Bit(std::strerror(errno));
                }
                break;
            }
        }
    }
    ::close(fd);
#else
    QFile file(path);
    if (!file.exists()) {
        return content;
    }
    content.exists = true;
    if (!file.open(QIODevice::ReadOnly)) {
        content.problem = file.errorString();
    } else if (file.size() > MaxBytes) {
        content.problem = TooLarge;
    } else {
        content.bytes = file.read(MaxBytes + 1);
    }
#endif
    if (content.problem) {
        content.bytes.clear();
    }
    return content;
}

Values parse(const QByteArray& text, const QStringList& keys) {
    Values result;
    if (!looksLikeIni(text)) {
        result.problem = NotSettings;
        return result;
    }
    const bool read = onCopy(text, [&](const QString& copy) {
        QSettings settings(copy, QSettings::IniFormat);
        if (settings.status() != QSettings::NoError) {
            return false;
        }
        for (const QString& key : keys) {
            result.values << settings.value(key);
        }
        return true;
    });
    if (!read) {
        result.values.clear();
        result.problem = NotSettings;
    }
    return result;
}

std::optional<QByteArray> withValue(const QByteArray& text, const QString& key,
                                    const QString& value) {
    QByteArray written;
    const bool made = onCopy(text, [&](const QString& copy) {
        {
            QSettings settings(copy, QSettings::IniFormat);
            settings.setValue(key, value);
            settings.sync();
            if (settings.status() != QSettings::NoError) {
                return false;
            }
        }
        QFile file(copy);
        if (!file.open(QIODevice::ReadOnly)) {
            return false;
        }
        written = file.read(MaxBytes + 1);
        return written.size() <= MaxBytes;
    });
    return made ? std::optional(written) : std::nullopt;
}

std::optional<QString> replace(const QString& path, const QByteArray& bytes) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        return QStringLiteral("its folder cannot be made");
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        return file.errorString();
    }
    return std::nullopt;
}

} // namespace settings_file
