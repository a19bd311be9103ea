#pragma once

#include "records.h"

#include <QAbstractListModel>
#include <QList>

class RecorderModel;

/// The lines the sidebar lists: the session's script filtered by the controller's search text
/// and "unrecorded only" switch, in script order. The controller keeps it current; it follows
/// every change of the session, the search and the switch, so a view built over it never
/// rebuilds more than the rows that changed.
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
    };

    /// Lists the lines of `recorder`'s session and follows it from now on.
    explicit LineListModel(const RecorderModel &recorder, QObject *parent = nullptr);

    [[nodiscard]] int rowCount(const QModelIndex &parent = {}) const override;
    [[nodiscard]] QVariant data(const QModelIndex &index, int role) const override;
    [[nodiscard]] QHash<int, QByteArray> roleNames() const override;

    /// The row of the session's current line, or -1 when it is filtered out or there is none.
    [[nodiscard]] int currentRow() const;
    /// The position in the script of the line a row shows.
    [[nodiscard]] int linePosition(int row) const { return m_rows.at(row); }

Q_SIGNALS:
    void currentRowChanged();
    /// The session moved to another line, or another script was opened: a view shows the
    /// current row now.
    void currentMoved();

private:
    /// The search text or the switch changed: the list is built anew, unless its rows stay.
    void refilter();
    /// The session changed: rows come and go one run at a time, the others are redrawn.
    void follow();
    /// Turns the rows into `target` by removing and inserting runs of rows.
    void moveTo(const QList<int> &target);

    const RecorderModel &m_recorder;
    /// A copy of the script's lines that shares their data, so a replaced script is told apart
    /// from the same one at no cost.
    QList<ScriptLine> m_lines;
    QList<int> m_rows;
    qint64 m_index = -1;
    /// The filters the rows were chosen with.
    QString m_search;
    bool m_missingOnly = false;
};
