#include "panel/app_icon.h"

#include "panel/form_setup.h"

#include <QPainter>
#include <QPixmap>
#include <QtGlobal>

QImage appIconImage(int size) {
    QImage icon(size, size, QImage::Format_ARGB32_Premultiplied);
    icon.fill(Qt::transparent);
    const QImage picture = storedPicture();
    if (size <= 0) {
        return icon;
    }
    // A small margin, as icon themes leave one; the badge fills the width.
    const int margin = size / 16;
    const int width = size - 2 * margin;
    const int height = qMax(1, qRound(qreal(width) * picture.height() / picture.width()));
    // Enlarge by whole pixels first so the lettering stays sharp, then smooth down to size.
    const int whole = qMax(1, (width + picture.width() - 1) / picture.width());
    const QImage scaled =
        picture
            .scaled(picture.width() * whole, picture.height() * whole, Qt::IgnoreAspectRatio,
                    Qt::FastTransformation)
            .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QPainter painter(&icon);
    painter.drawImage((size - width) / 2, (size - height) / 2, scaled);
    return icon;
}

QIcon appIcon() {
    QIcon icon;
    for (const int size : AppIconSizes) {
        icon.addPixmap(QPixmap::fromImage(appIconImage(size)));
    }
    return icon;
}
