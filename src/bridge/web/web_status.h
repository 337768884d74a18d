#pragma once

#include "bridge/line_answer.h"
#include "bridge/metrics/metrics_snapshot.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What the web page shows and what its buttons do, as pure functions: the last readings in plain
// words as JSON, and each control as the PJLink command the bridge already maps to serial codes,
// so that the page and PJLink share one table.
namespace web {

// One button of the page: its action name (the form value), the PJLink command it stands for,
// and what the page says when the projector did it.
struct Control {
    const char* action;
    const char* pjlink;
    const char* done;
};

const QList<Control>& controls();
const Control* findControl(const QByteArray& action);
// The serial codes of a control, from the PJLink table.
QStringList controlCodes(const Control& control);

enum class Outcome { Done, Refused, NoReply, LineDown };
Outcome outcomeOf(const QList<LineAnswer>& answers);
// "done", "refused", "no-reply", "line-down"
const char* outcomeName(Outcome outcome);
// The sentence the page shows for a control's outcome.
QString outcomeText(const Control& control, Outcome outcome);

// "On", "Standby", "Warming up", "Cooling down", "Power failure"
QString powerWords(PowerState state);

// The page's reading of the snapshot: plain words, and numbers with their units; nowMs gives how
// long ago the projector last answered.
QByteArray statusJson(const MetricsSnapshot& snapshot, const QString& model, qint64 nowMs);

} // namespace web
