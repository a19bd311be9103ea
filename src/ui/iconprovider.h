#pragma once

#include <QQuickImageProvider>

/// Draws the window's symbols, in any colour, from the SVG files shipped in the QML module, so
/// the window looks the same whatever icon theme the desktop has (often none). Ids read
/// "NAME/COLOUR": the file's name without ".svg", then the colour as 6 or 8 hexadecimal digits
/// (RRGGBB or AARRGGBB), for example "mic.fill/266e5e".
class IconProvider final : public QQuickImageProvider
{
public:
    /// The folder of the symbols among the program's resources.
    static constexpr auto folder = ":/Quorbel/icons/";

    IconProvider();

    /// The symbol at `requested` size (24 by 24 when none is given); a null image when the name
    /// is unknown or the colour malformed.
    QImage requestImage(const QString &id, QSize *size, const QSize &requested) override;

    /// Renders one symbol; what `requestImage` answers for "NAME/COLOUR".
    [[nodiscard]] static QImage render(const QString &name, const QColor &colour, QSize size);
};
