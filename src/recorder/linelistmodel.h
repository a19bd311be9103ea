#pragma once

#include "records.h"

#include <QAbstractListModel>
#include <QList>

#include <functional>

/// The lines the sidebar lists: a session's script filtered by a search text and an
/// "unrecorded only" switch, in script order. Its owner tells it every change of the session
/// and of the filter; it follows each with the fewest row changes, so a view built over it
/// never rebuilds more than the rows that changed.
class LineListModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_PROPERTY(int currentRow READ currentRow NOTIFY currentRowChanged)

public:
    enum Role {
        IdRole = Qt::UserRole + 1,
        TextRole,
        /// The line has a take to export.
        RecordedRole,
        /// The line is the session's current one.
        CurrentRole,
        /// The line's chosen take needs attention (see `setAttention`).
        AttentionRole,
    };

    /// Shows no session until `setSession`.
    explicit LineListModel(QObject *parent) : QAbstractListModel(parent) {}

    /// Shows `session`, or nothing for null. The session must stay where it is until the next
    /// call, which follows every change of it, in place or not.
    void setSession(const Session *session);
    /// Lists only the lines whose text or id holds `search`, ignoring case (every line for an
    /// empty one), and with `unrecordedOnly` only the lines without a take.
    void setFilter(const QString &search, bool unrecordedOnly);
    /// Tells which takes need attention (clipped, too quiet, …, or not checkable); with
    /// `attentionOnly` only the lines whose chosen take does are listed — or, with
    /// `unrecordedOnly` too, the lines that are unrecorded or need attention: what is left to do.
    void setAttention(std::function<bool(const Take &)> needsAttention, bool attentionOnly);
    /// What `needsAttention` says of some takes changed.
    void attentionChanged();
    /// The lines listed, in script order.
    [[nodiscard]] QList<ScriptLine> visibleLines() const;

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    /// The row of the session's current line, or -1 when it is filtered out or there is none.
    [[nodiscard]] int currentRow() const;
    /// The id of the line in `row`; empty when there is no such row.
    [[nodiscard]] Q_INVOKABLE QString lineIdAt(int row) const;

Q_SIGNALS:
    void currentRowChanged();
    /// The session moved to another line, or another script was opened: a view shows the
    /// current row now.
    void currentMoved();

private:
    /// The positions in the script of the lines the filter lets through; with `among`, of those
    /// among them only.
    [[nodiscard]] QList<int> filtered(const QList<int> *among = nullptr) const;
    [[nodiscard]] bool needsAttention(const QString &lineId) const;
    /// Turns the rows into `target` by removing and inserting runs of rows.
    void moveTo(const QList<int> &target);

    const Session *m_session = nullptr;
    /// A copy of the script's lines that shares their data, so a replaced script is told apart
    /// from the same one at no cost.
    QList<ScriptLine> m_lines;
    QList<int> m_rows;
    qint64 m_index = -1;
    QString m_search;
    bool m_unrecordedOnly = false;
    std::function<bool(const Take &)> m_needsAttention;
    bool m_attentionOnly = false;
};
