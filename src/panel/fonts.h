#pragma once

#include <QString>

// The two Japanese Gothic faces the form names: fixed pitch and its proportional companion.
inline const QString kGothicFace = QStringLiteral(u"ＭＳ ゴシック");
inline const QString kPGothicFace = QStringLiteral(u"ＭＳ Ｐゴシック");

// Maps both faces to installed faces of the same pitch that render every caption of the panel
// (Latin text, the arrows and the Japanese captions), best first. Call before anything lays out
// text in either face: a face loaded before is kept as it was found. The panel calls it once its
// window is shown, before the window first paints.
void installFontSubstitutions();

// Whether `family` is installed and renders every caption character by itself, without falling
// back to another face.
bool faceRendersPanelText(const QString& family);
