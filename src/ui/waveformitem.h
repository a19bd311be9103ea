#pragma once

#include <QColor>
#include <QList>
#include <QQuickItem>
#include <QString>

/// The chosen take drawn as its waveform: for each pixel column the lowest and highest sample
/// of the stretch of the take it stands for, as one vertical line, drawn by the scene graph.
/// The file is read on a worker thread; until it is, and when it cannot be, nothing is drawn.
class WaveformItem : public QQuickItem
{
    Q_OBJECT
    QML_NAMED_ELEMENT(Waveform)
    /// The take file's absolute path.
    Q_PROPERTY(QString source READ source WRITE setSource NOTIFY sourceChanged)
    Q_PROPERTY(QColor color READ color WRITE setColor NOTIFY colorChanged)
    /// The file was read and is drawn.
    Q_PROPERTY(bool loaded READ loaded NOTIFY loadedChanged)

public:
    explicit WaveformItem(QQuickItem *parent = nullptr);

    [[nodiscard]] QString source() const { return m_source; }
    void setSource(const QString &source);
    [[nodiscard]] QColor color() const { return m_color; }
    void setColor(const QColor &color);
    [[nodiscard]] bool loaded() const { return !m_high.isEmpty(); }

Q_SIGNALS:
    void sourceChanged();
    void colorChanged();
    void loadedChanged();

protected:
    QSGNode *updatePaintNode(QSGNode *node, UpdatePaintNodeData *) override;
    void geometryChange(const QRectF &newGeometry, const QRectF &oldGeometry) override;

private:
    QString m_source;
    QColor m_color = Qt::black;
    QList<float> m_low;
    QList<float> m_high;
    /// Told apart so that a file read for an earlier source is dropped.
    quint64 m_generation = 0;
};
