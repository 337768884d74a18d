#pragma once

#include <QIcon>
#include <QImage>
#include <array>

// The sizes the program's icon is drawn at, for the window and for the desktop's icon theme.
inline constexpr std::array<int, 8> AppIconSizes{16, 22, 24, 32, 48, 64, 128, 256};

// The panel's picture (a wide badge) centred on a transparent square of size by size pixels,
// its aspect kept: menus, task bars and icon themes want square icons.
QImage appIconImage(int size);

// Every size of appIconImage in one icon, for the window.
QIcon appIcon();
