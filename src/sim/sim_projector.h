#pragma once

#include "sim/projector_model.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <optional>

class PtyPair;

// A simulated projector on a pseudo-terminal. The panel opens devicePath() as its serial port;
// this object reads the carriage-return-terminated commands from the far side and answers them
// through ProjectorModel, with the line fault chosen at construction. All timing runs on QTimers
// in the owner's event loop; nothing blocks.
class SimProjector : public QObject {
    Q_OBJECT
public:
    enum class FaultMode {
        None,   // answers every command at once
        Silent, // never answers
        Slow,   // answers after replyDelayMs
        Pieces, // answers in up to three chunks, pieceGapMs apart
        Noisy,  // inserts random bytes (every value 0..255 over time) into each answer
        Flood,  // sends continuously at about the line rate, answers in between
        Vanish, // closes the line after vanishAfter answered commands, as an unplugged adapter
    };

    // "none", "silent", "slow", "pieces", "noisy", "flood", "vanish"; nothing for other names.
    static std::optional<FaultMode> parseFaultMode(const QString& name);
    static QString faultModeName(FaultMode mode);
    static QStringList faultModeNames();
    // Bytes for a log line: printable ASCII as it is, control and other bytes by name or hex
    // ("CR0<CR>", "<ACK><CR>", "<00><FF>").
    static QString visible(const QByteArray& bytes);

    // Longest line kept while waiting for its CR; a longer one is dropped up to its CR and
    // rejected. The longest command the panel sends is 16 characters.
    static constexpr qsizetype MaxLineBytes = 256;
    // Answers waiting to go out (slow line, full buffer) are dropped beyond this.
    static constexpr qsizetype MaxQueuedBytes = 64 * 1024;

    // Throws StepFailure when no pseudo-terminal can be had.
    explicit SimProjector(FaultMode mode = FaultMode::None, QObject* parent = nullptr);
    ~SimProjector() override;

    // The serial device the panel opens (/dev/pts/N).
    QString devicePath() const;
    FaultMode faultMode() const { return mode_; }
    // False once the line has vanished.
    bool isOpen() const;
    // Bytes of answers not yet written; never above MaxQueuedBytes.
    qsizetype queuedBytes() const { return queuedBytes_; }

    void setCountDownMs(int ms) { model_.setCountDownMs(ms); }
    void setCoolDownMs(int ms) { model_.setCoolDownMs(ms); }
    void setMsPerLampHour(qint64 ms) { model_.setMsPerLampHour(ms); }
    void setReplyDelayMs(int ms) { replyDelayMs_ = qMax(0, ms); }
    void setPieceGapMs(int ms) { pieceGapMs_ = qMax(0, ms); }
    // Vanish: the line closes when a command arrives after `commands` answered ones, or
    // graceMs after the last of them was answered, whichever comes first.
    void setVanishAfter(int commands) { vanishAfter_ = qMax(0, commands); }
    void setVanishGraceMs(int ms) { vanishGraceMs_ = qMax(0, ms); }
    void setFloodBytesPerSecond(int rate) { floodRate_ = qMax(1, rate); }
    // Makes the noise reproducible.
    void setNoiseSeed(quint32 seed) { rng_.seed(seed); }

    ProjectorModel::Power power() { return model_.power(clock_.elapsed()); }
    // Puts the projector into one of ProjectorModel::stateNames(); false for another name.
    bool setState(const QString& name) { return model_.setState(name, clock_.elapsed()); }

signals:
    // One per command line received (without its CR) and the bytes answered, as sent before any
    // split into pieces; empty when the command goes unanswered.
    void exchanged(const QByteArray& command, const QByteArray& reply);
    // Events worth a log line: dropped lines, dropped answers, the line vanishing.
    void noted(const QString& event);
    // The line has been closed (vanish mode).
    void vanished();

private:
    struct Chunk {
        QByteArray bytes;
        int delayMs = 0; // wait before this chunk goes out
    };

    void onReadyRead();
    void handleLine(const QByteArray& command, bool overLong);
    void send(const QByteArray& reply);
    void enqueue(const QByteArray& bytes, int delayMs);
    void pump();
    void floodTick();
    void vanishNow();
    QByteArray withNoise(const QByteArray& reply);
    char nextNoiseByte();

    FaultMode mode_;
    PtyPair* pty_ = nullptr;
    ProjectorModel model_;
    QElapsedTimer clock_;

    QByteArray line_;
    bool discarding_ = false; // inside an over-long line, until its CR

    std::deque<Chunk> queue_;
    qsizetype queuedBytes_ = 0;
    QTimer outTimer_; // the delay before the front chunk, or a retry when the line was full

    int replyDelayMs_ = 1000;
    int pieceGapMs_ = 80;

    int vanishAfter_ = 3;
    int vanishGraceMs_ = 1000;
    qint64 answered_ = 0;
    QTimer vanishTimer_;

    int floodRate_ = 1920; // 19200 baud, 10 bits a byte
    QTimer floodTimer_;
    QElapsedTimer floodClock_;
    double floodAllowance_ = 0.0;
    qsizetype floodPos_ = 0;

    QRandomGenerator rng_;
    QByteArray noisePool_; // a shuffled run of all 256 byte values, used up front to back
};
