// Writes the program's icon into an icon-theme tree at every size the panel draws it:
// DIR/<n>x<n>/apps/NAME.png. Run by the build; the installed theme icons and the window's own
// icon are the same pictures. Drawing into images needs no application object or display.
#include "panel/app_icon.h"

#include <QDir>
#include <cstdio>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fputs("usage: rmq27-make-icons DIR NAME\n", stderr);
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    for (const int size : AppIconSizes) {
        const QString sub = QStringLiteral("%1x%1/apps").arg(size);
        const QString path = QStringLiteral("%1/%2/%3.png").arg(dir, sub, name);
        if (!QDir(dir).mkpath(sub) || !appIconImage(size).save(path, "PNG")) {
            std::fprintf(stderr, "rmq27-make-icons: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
