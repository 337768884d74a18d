#pragma once

#include <QString>

// The display form of a command or reply: a leading space, then one token per character, so that
// control characters stay visible ("C00" + CR renders as " C 0 0 CR "). The reply decoder reads
// fixed positions of this layout, so the leading space and the space after each printable
// character are part of its contract.
QString renderTranscript(const QString& text);
