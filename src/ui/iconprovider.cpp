#include "iconprovider.h"

#include <QImageReader>
#include <QPainter>
#include <QRegularExpression>

IconProvider::IconProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

QImage IconProvider::requestImage(const QString &id, QSize *size, const QSize &requested)
{
    static const QRegularExpression form(
        QStringLiteral("^([a-z.]+)/([0-9a-fA-F]{6}|[0-9a-fA-F]{8})$"));
    const QRegularExpressionMatch match = form.match(id);
    QImage image;
    if (match.hasMatch()) {
        const QColor colour = QColor::fromString(QLatin1Char('#') + match.captured(2));
        image = render(match.captured(1), colour, requested);
    }
    if (size)
        *size = image.size();
    return image;
}

QImage IconProvider::render(const QString &name, const QColor &colour, QSize size)
{
    if (!size.isValid() || size.isEmpty())
        size = QSize(24, 24);
    QImageReader reader(QLatin1String(folder) + name + QStringLiteral(".svg"));
    reader.setScaledSize(size);
    QImage image = reader.read();
    if (image.isNull())
        return image;
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    // The files are drawn in black; their coverage takes the colour asked for.
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), colour);
    return image;
}
