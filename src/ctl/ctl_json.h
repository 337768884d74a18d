#pragma once

#include <QJsonObject>
#include <QString>

struct CtlAction;
struct ExchangeResult;
struct StatusValues;

// Compact JSON in plain ASCII: every character beyond it (a received byte 0x7F to 0xFF) as \uXXXX,
// so the line reads the same in any locale and a byte value survives a round trip.
QString asciiJson(const QJsonObject& object);

// The readings as values: only the fields the reply gave.
QJsonObject valuesJson(const StatusValues& values);

// One action's object, whatever happened: error is empty when it went well.
QJsonObject resultJson(const CtlAction& action, const ExchangeResult& result, const QString& error);
