#include "sim/sim_projector.h"

#include "sim/pty_pair.h"

#include <algorithm>
#include <array>

namespace {

struct ModeName {
    SimProjector::FaultMode mode;
    const char* name;
};

constexpr std::array<ModeName, 7> kModeNames{{
    {SimProjector::FaultMode::None, "none"},
    {SimProjector::FaultMode::Silent, "silent"},
    {SimProjector::FaultMode::Slow, "slow"},
    {SimProjector::FaultMode::Pieces, "pieces"},
    {SimProjector::FaultMode::Noisy, "noisy"},
    {SimProjector::FaultMode::Flood, "flood"},
    {SimProjector::FaultMode::Vanish, "vanish"},
}};

// What the flood sends between answers: a stream of plausible replies.
const QByteArray kFloodPattern = QByteArrayLiteral("\x06\r00\r80\r+38.5 +41.0 +29.5\r01234\r2\r");

constexpr int kRetryMs = 20;      // next try when the line's buffer was full
constexpr int kFloodTickMs = 20;  // pace of the flood's writes
constexpr int kMaxPieces = 3;     // an answer in pieces comes in at most this many
constexpr int kMaxNoiseBytes = 4; // noise bytes added to one answer: 1..this

} // namespace

std::optional<SimProjector::FaultMode> SimProjector::parseFaultMode(const QString& name) {
    for (const ModeName& m : kModeNames) {
        if (name == QLatin1String(m.name)) {
            return m.mode;
        }
    }
    return std::nullopt;
}

QString SimProjector::faultModeName(FaultMode mode) {
    for (const ModeName& m : kModeNames) {
        if (m.mode == mode) {
            return QLatin1String(m.name);
        }
    }
    return QString();
}

QStringList SimProjector::faultModeNames() {
    QStringList names;
    for (const ModeName& m : kModeNames) {
        names << QLatin1String(m.name);
    }
    return names;
}

QString SimProjector::visible(const QByteArray& bytes) {
    QString out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case 0:
            out += QLatin1String("<NUL>");
            break;
        case 6:
            out += QLatin1String("<ACK>");
            break;
        case 10:
            out += QLatin1String("<LF>");
            break;
        case 13:
            out += QLatin1String("<CR>");
            break;
        case 21:
            out += QLatin1String("<NAK>");
            break;
        default:
            if (c >= 0x20 && c < 0x7f && c != '<') {
                out += QLatin1Char(ch);
            } else {
                out += QStringLiteral("<%1>").arg(c, 2, 16, QLatin1Char('0')).toUpper();
            }
        }
    }
    return out;
}

SimProjector::SimProjector(FaultMode mode, QObject* parent)
    : QObject(parent), mode_(mode), pty_(new PtyPair(this)),
      rng_(QRandomGenerator::securelySeeded()) {
    clock_.start();
    connect(pty_, &PtyPair::readyRead, this, &SimProjector::onReadyRead);

    outTimer_.setSingleShot(true);
    connect(&outTimer_, &QTimer::timeout, this, &SimProjector::pump);

    vanishTimer_.setSingleShot(true);
    connect(&vanishTimer_, &QTimer::timeout, this, &SimProjector::vanishNow);

    if (mode_ == FaultMode::Flood) {
        floodTimer_.setInterval(kFloodTickMs);
        connect(&floodTimer_, &QTimer::timeout, this, &SimProjector::floodTick);
        floodClock_.start();
        floodTimer_.start();
    }
}

SimProjector::~SimProjector() = default;

QString SimProjector::devicePath() const {
    return pty_->devicePath();
}

bool SimProjector::isOpen() const {
    return pty_->isOpen();
}

void SimProjector::onReadyRead() {
    const QByteArray data = pty_->readAll();
    for (const char ch : data) {
        if (!pty_->isOpen()) {
            return; // vanished in the middle of this read
        }
        if (ch == ProjectorModel::Cr) {
            const QByteArray command = line_;
            const bool overLong = discarding_;
            line_.clear();
            discarding_ = false;
            handleLine(command, overLong);
        } else if (discarding_) {
            continue;
        } else if (line_.size() >= MaxLineBytes) {
            emit noted(QStringLiteral("dropped a line of more than %1 bytes").arg(MaxLineBytes));
            line_.clear();
            discarding_ = true;
        } else {
            line_.append(ch);
        }
    }
}

void SimProjector::handleLine(const QByteArray& command, bool overLong) {
    if (mode_ == FaultMode::Vanish && answered_ >= vanishAfter_) {
        emit exchanged(command, QByteArray());
        vanishNow();
        return;
    }
    // An over-long line is rejected like any command the projector does not know.
    const QByteArray reply =
        overLong ? ProjectorModel::rejection() : model_.reply(command, clock_.elapsed());
    ++answered_;

    switch (mode_) {
    case FaultMode::None:
    case FaultMode::Flood:
        emit exchanged(command, reply);
        enqueue(reply, 0);
        break;
    case FaultMode::Silent:
        emit exchanged(command, QByteArray());
        break;
    case FaultMode::Slow:
        emit exchanged(command, reply);
        enqueue(reply, replyDelayMs_);
        break;
    case FaultMode::Pieces: {
        emit exchanged(command, reply);
        const qsizetype pieces = qMin<qsizetype>(kMaxPieces, reply.size());
        qsizetype from = 0;
        for (qsizetype i = 0; i < pieces; ++i) {
            const qsizetype to = reply.size() * (i + 1) / pieces;
            enqueue(reply.mid(from, to - from), i == 0 ? 0 : pieceGapMs_);
            from = to;
        }
        break;
    }
    case FaultMode::Noisy: {
        const QByteArray noisy = withNoise(reply);
        emit exchanged(command, noisy);
        enqueue(noisy, 0);
        break;
    }
    case FaultMode::Vanish:
        emit exchanged(command, reply);
        enqueue(reply, 0);
        if (answered_ >= vanishAfter_) {
            vanishTimer_.start(vanishGraceMs_);
        }
        break;
    }
}

void SimProjector::enqueue(const QByteArray& bytes, int delayMs) {
    if (queuedBytes_ + bytes.size() > MaxQueuedBytes) {
        emit noted(QStringLiteral("dropped an answer: %1 bytes already waiting").arg(queuedBytes_));
        return;
    }
    queue_.push_back(Chunk{bytes, delayMs});
    queuedBytes_ += bytes.size();
    if (!outTimer_.isActive()) {
        pump();
    }
}

void SimProjector::pump() {
    if (!pty_->isOpen()) {
        queue_.clear();
        queuedBytes_ = 0;
        return;
    }
    while (!queue_.empty()) {
        Chunk& front = queue_.front();
        if (front.delayMs > 0) {
            outTimer_.start(front.delayMs);
            front.delayMs = 0;
            return;
        }
        const qint64 written = pty_->write(front.bytes);
        front.bytes.remove(0, written);
        queuedBytes_ -= written;
        if (!front.bytes.isEmpty()) {
            outTimer_.start(kRetryMs); // the line's buffer is full: try again shortly
            return;
        }
        queue_.pop_front();
    }
}

void SimProjector::floodTick() {
    if (!pty_->isOpen()) {
        floodTimer_.stop();
        return;
    }
    // Budget by the time really elapsed, so a late tick does not slow the line down; at most a
    // quarter second's worth at once, so a stalled loop does not burst.
    floodAllowance_ += double(floodClock_.restart()) * floodRate_ / 1000.0;
    floodAllowance_ = qMin(floodAllowance_, floodRate_ / 4.0);
    if (!queue_.empty()) {
        return; // answers go first; the flood resumes once they are out
    }
    auto budget = static_cast<qsizetype>(floodAllowance_);
    floodAllowance_ -= double(budget);
    QByteArray burst;
    burst.reserve(budget);
    while (budget > 0) {
        const qsizetype n = qMin(budget, kFloodPattern.size() - floodPos_);
        burst.append(kFloodPattern.constData() + floodPos_, n);
        floodPos_ = (floodPos_ + n) % kFloodPattern.size();
        budget -= n;
    }
    // What does not fit in the line's buffer is lost, as on a real line nobody reads.
    floodLost_ += burst.size() - pty_->write(burst);
}

void SimProjector::vanishNow() {
    if (!pty_->isOpen()) {
        return;
    }
    vanishTimer_.stop();
    outTimer_.stop();
    floodTimer_.stop();
    queue_.clear();
    queuedBytes_ = 0;
    line_.clear();
    pty_->close();
    emit noted(QStringLiteral("line closed after %1 answered commands").arg(answered_));
    emit vanished();
}

QByteArray SimProjector::withNoise(const QByteArray& reply) {
    QByteArray out = reply;
    const int count = 1 + int(rng_.bounded(kMaxNoiseBytes));
    for (int i = 0; i < count; ++i) {
        const auto at = static_cast<qsizetype>(rng_.bounded(quint32(out.size() + 1)));
        out.insert(at, nextNoiseByte());
    }
    return out;
}

char SimProjector::nextNoiseByte() {
    // Drawing from shuffled runs of all 256 values makes every value, NUL and the bytes above 127
    // included, turn up within every 256 noise bytes.
    if (noisePool_.isEmpty()) {
        noisePool_.resize(256);
        for (int v = 0; v < 256; ++v) {
            noisePool_[v] = char(v);
        }
        std::shuffle(noisePool_.begin(), noisePool_.end(), rng_);
    }
    const char c = noisePool_.back();
    noisePool_.chop(1);
    return c;
}
