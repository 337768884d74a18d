#pragma once

#include "bridge/metrics/metrics_snapshot.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <optional>

// Reads the projector's status every interval. It never sends anything itself: when a poll falls
// due it says so, and the line's owner asks it for one query at a time and puts each on the line
// in its turn, so a scrape never causes traffic. A poll that is still running when the next falls
// due is not doubled.
class StatusPoller : public QObject {
    Q_OBJECT
public:
    static constexpr int DefaultIntervalSeconds = 30;
    static constexpr int MinimumIntervalSeconds = 5;

    explicit StatusPoller(int intervalSeconds, QObject* parent = nullptr);

    // The first poll falls due at once, the next ones every interval.
    void start();
    // The next query of the poll under way, marked as out; empty when there is none, or while
    // the one handed out has not come back.
    std::optional<QString> nextQuery();
    // What came back for the query handed out: replied is false when nothing came within its
    // window. A query that drew no reply ends the poll unanswered; the rest are not sent.
    void take(bool replied, const StatusValues& values);

    // Runs the due poll's check as the interval timer does (for tests).
    void tick() { pollDue(); }
    // Asks for a poll that starts after now (a control changed something): at once when none is
    // under way, else right after the one under way. Returns that poll's number, which
    // pollEnded() names when it ends. The interval's own polls keep their time.
    quint64 pollAgain();

    const PolledReadings& readings() const { return published_; }
    std::optional<qint64> lastAnsweredMsecs() const { return lastAnsweredMsecs_; }
    const std::array<quint64, 7>& unparsedReadings() const { return unparsed_; }
    bool polling() const { return !queue_.isEmpty() || out_.has_value(); }

signals:
    // A poll fell due: the line's owner offers it the line once the line is free.
    void wantsLine();
    // A poll ended, answered or not; number counts the polls from 1.
    void pollEnded(quint64 number);

private:
    void pollDue();
    void finish(bool answered);

    QTimer timer_;
    QStringList queue_;
    std::optional<QString> out_;
    PolledReadings reading_;   // the poll under way
    PolledReadings published_; // the last poll that ended
    std::optional<qint64> lastAnsweredMsecs_;
    std::array<quint64, 7> unparsed_{};
    quint64 started_ = 0; // polls started so far
    bool again_ = false;  // another poll is wanted as soon as this one ends
};
