#include "waveformitem.h"

#include "error.h"
#include "takeanalysis.h"

#include <QCoreApplication>
#include <QPointer>
#include <QQuickWindow>
#include <QSGRectangleNode>
#include <QThreadPool>

#include <algorithm>
#include <cmath>

namespace {

/// Stretches read from the file: enough for a window several times as wide as any screen
/// shows the item, few enough that a ten-minute take is summed up in a few kilobytes.
constexpr int stretches = 2048;

} // namespace

WaveformItem::WaveformItem(QQuickItem *parent) : QQuickItem(parent)
{
    setFlag(ItemHasContents);
}

void WaveformItem::setSource(const QString &source)
{
    if (m_source == source)
        return;
    m_source = source;
    const bool wasLoaded = loaded();
    m_low.clear();
    m_high.clear();
    const quint64 generation = ++m_generation;
    Q_EMIT sourceChanged();
    if (wasLoaded)
        Q_EMIT loadedChanged();
    update();
    if (source.isEmpty())
        return;
    QThreadPool::globalInstance()->start([self = QPointer(this), source, generation] {
        Analysis::Envelope drawn;
        try {
            drawn = Analysis::envelope(source, stretches);
        } catch (const Error &) {
            // The take's check says why it cannot be read; the drawing stays empty.
        }
        QMetaObject::invokeMethod(
            qApp,
            [self, generation, drawn = std::move(drawn)] {
                if (!self || self->m_generation != generation || drawn.high.isEmpty())
                    return;
                self->m_low = drawn.low;
                self->m_high = drawn.high;
                Q_EMIT self->loadedChanged();
                self->update();
            },
            Qt::QueuedConnection);
    });
}

void WaveformItem::setColor(const QColor &color)
{
    if (m_color == color)
        return;
    m_color = color;
    Q_EMIT colorChanged();
    update();
}

void WaveformItem::geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry)
{
    QQuickItem::geometryChange(newGeometry, oldGeometry);
    if (newGeometry.size() != oldGeometry.size())
        update();
}

QSGNode *WaveformItem::updatePaintNode(QSGNode *old, UpdatePaintNodeData *)
{
    const int columns = int(std::floor(width()));
    if (m_high.isEmpty() || columns <= 0 || height() <= 0) {
        delete old;
        return nullptr;
    }
    // One rectangle node per column: the scene graph batches them into a few draw calls, and
    // unlike custom geometry they draw on every backend, the software one included.
    QSGNode *parent = old ? old : new QSGNode;
    while (parent->childCount() > columns) {
        QSGNode *last = parent->lastChild();
        parent->removeChildNode(last);
        delete last;
    }
    while (parent->childCount() < columns)
        parent->appendChildNode(window()->createRectangleNode());
    const qsizetype count = m_high.size();
    const float middle = float(height()) / 2;
    QSGNode *child = parent->firstChild();
    for (int x = 0; x < columns; ++x, child = child->nextSibling()) {
        // The stretches this column stands for; at least one.
        const qsizetype first = qsizetype(double(x) * double(count) / columns);
        const qsizetype last
            = std::max(first + 1, qsizetype(double(x + 1) * double(count) / columns));
        float low = 1, high = -1;
        for (qsizetype i = first; i < std::min(last, count); ++i) {
            low = std::min(low, m_low.at(i));
            high = std::max(high, m_high.at(i));
        }
        // Silence still shows as a hairline, so the take's length can be seen.
        const float top = middle - std::max(high, 0.0f) * middle;
        const float bottom = std::max(middle - std::min(low, 0.0f) * middle, top + 1);
        auto *column = static_cast<QSGRectangleNode *>(child);
        column->setRect(QRectF(x, top, 1, bottom - top));
        column->setColor(m_color);
    }
    return parent;
}
