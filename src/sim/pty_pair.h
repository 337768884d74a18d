#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

// A pseudo-terminal pair whose master side this object holds. The slave side is a serial device
// (/dev/pts/N) that the panel opens as its port. The slave is kept open here too, in raw mode, so
// that the line exists (and keeps its settings) whether or not the panel has it open.
class PtyPair : public QObject {
    Q_OBJECT
public:
    // Throws StepFailure when no pseudo-terminal can be had.
    explicit PtyPair(QObject* parent = nullptr);
    ~PtyPair() override;

    bool isOpen() const { return masterFd_ >= 0; }
    QString devicePath() const { return devicePath_; }

    // Writes to the master side, as the far device would; returns the bytes taken (all of them
    // unless the line's buffer is full). Nothing happens once closed.
    qint64 write(const QByteArray& bytes);
    // Everything waiting on the master side: what the panel wrote.
    QByteArray readAll();
    // Closes both sides, as an unplugged adapter does: the panel's next read or write fails.
    void close();
    // The output speed the line is set to (by whoever opened the slave side last), in baud;
    // 0 when closed.
    int lineSpeed() const;

signals:
    void readyRead();

private:
    int masterFd_ = -1;
    int slaveFd_ = -1;
    QString devicePath_;
    QSocketNotifier* notifier_ = nullptr;
};
