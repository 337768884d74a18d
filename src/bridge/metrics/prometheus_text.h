#pragma once

#include "bridge/metrics/metrics_snapshot.h"

#include <QByteArray>

// The media type of the text exposition format the scrape answers in.
inline constexpr char PrometheusContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// One scrape's body: every metric with its HELP and TYPE lines, readings that are missing left
// out, names under the rmq27_ prefix in base units.
QByteArray renderMetrics(const MetricsSnapshot& snapshot);

// A label value as the text format carries it: backslash, double quote and line feed escaped.
QByteArray escapeLabelValue(const QString& value);
