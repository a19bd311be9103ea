#include "linelistmodel.h"

#include "longtext.h"

#include <QStringMatcher>

#include <algorithm>

namespace {

/// Past this many runs of rows coming or going, one reset is cheaper for a view than the
/// single changes.
constexpr int maxRuns = 32;

/// How many runs of consecutive rows differ between two ascending lists.
int countRuns(const QList<int> &from, const QList<int> &to)
{
    int runs = 0;
    int last = 0; // 0: in step, 1: removing, 2: inserting
    qsizetype i = 0, j = 0;
    while (i < from.size() || j < to.size()) {
        int step;
        if (j >= to.size() || (i < from.size() && from.at(i) < to.at(j))) {
            step = 1;
            ++i;
        } else if (i >= from.size() || to.at(j) < from.at(i)) {
            step = 2;
            ++j;
        } else {
            step = 0;
            ++i;
            ++j;
        }
        if (step != 0 && step != last)
            ++runs;
        last = step;
    }
    return runs;
}

} // namespace

int LineListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant LineListModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const int position = m_rows.at(index.row());
    const ScriptLine &line = m_lines.at(position);
    switch (role) {
    case IdRole:
        return line.id;
    case Qt::DisplayRole:
    case TextRole:
        // A row shows two lines of it at most.
        return glimpse(line.text, 200);
    case RecordedRole:
        return m_session && m_session->chosen(line.id) != nullptr;
    case CurrentRole:
        return position == m_index;
    case AttentionRole:
        return needsAttention(line.id);
    default:
        return {};
    }
}

QString LineListModel::lineIdAt(int row) const
{
    return data(index(row), IdRole).toString();
}

QHash<int, QByteArray> LineListModel::roleNames() const
{
    return {
        {IdRole, "lineId"},
        {TextRole, "lineText"},
        {RecordedRole, "recorded"},
        {CurrentRole, "current"},
        {AttentionRole, "attention"},
    };
}

int LineListModel::currentRow() const
{
    const auto found = std::lower_bound(m_rows.cbegin(), m_rows.cend(), m_index);
    return found != m_rows.cend() && *found == m_index ? int(found - m_rows.cbegin()) : -1;
}

QList<ScriptLine> LineListModel::visibleLines() const
{
    QList<ScriptLine> lines;
    lines.reserve(m_rows.size());
    for (const int position : m_rows)
        lines.append(m_lines.at(position));
    return lines;
}

QList<int> LineListModel::filtered(const QList<int> *among) const
{
    QList<int> positions;
    if (!m_session)
        return positions;
    // The sidebar filters on each keystroke. A prepared matcher skips ahead through long lines
    // for a longer search; a letter or two is found faster by the plain search.
    const QStringMatcher matcher(m_search, Qt::CaseInsensitive);
    const bool prepared = m_search.size() > 2;
    const auto contains = [&](const QString &text) {
        return prepared ? matcher.indexIn(text) >= 0 : text.contains(m_search, Qt::CaseInsensitive);
    };
    const QList<ScriptLine> &lines = m_session->script.lines;
    const auto consider = [&](qsizetype i) {
        const ScriptLine &line = lines.at(i);
        if (m_unrecordedOnly || m_attentionOnly) {
            const bool unrecorded = !m_session->chosen(line.id);
            if (!(m_unrecordedOnly && unrecorded) && !(m_attentionOnly && needsAttention(line.id)))
                return;
        }
        if (!m_search.isEmpty() && !contains(line.text) && !contains(line.id))
            return;
        positions.append(int(i));
    };
    if (among) {
        for (const int i : *among) {
            if (i >= 0 && i < lines.size())
                consider(i);
        }
    } else {
        for (qsizetype i = 0; i < lines.size(); ++i)
            consider(i);
    }
    return positions;
}

void LineListModel::setFilter(const QString &search, bool unrecordedOnly)
{
    if (search == m_search && unrecordedOnly == m_unrecordedOnly)
        return;
    // Typing on narrows the search: only the lines listed now can still match.
    const bool narrower = unrecordedOnly == m_unrecordedOnly && !m_search.isEmpty()
        && search.contains(m_search, Qt::CaseInsensitive);
    m_search = search;
    m_unrecordedOnly = unrecordedOnly;
    QList<int> rows = filtered(narrower ? &m_rows : nullptr);
    if (rows == m_rows)
        return;
    const int row = currentRow();
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
    if (currentRow() != row)
        Q_EMIT currentRowChanged();
}

bool LineListModel::needsAttention(const QString &lineId) const
{
    const Take *chosen = m_session ? m_session->chosen(lineId) : nullptr;
    return chosen && m_needsAttention && m_needsAttention(*chosen);
}

void LineListModel::setAttention(
    std::function<bool(const Take &)> needsAttention, bool attentionOnly)
{
    m_needsAttention = std::move(needsAttention);
    if (m_attentionOnly == attentionOnly)
        return;
    m_attentionOnly = attentionOnly;
    const int row = currentRow();
    moveTo(filtered());
    if (currentRow() != row)
        Q_EMIT currentRowChanged();
}

void LineListModel::attentionChanged()
{
    const int row = currentRow();
    if (m_attentionOnly)
        moveTo(filtered());
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(
            createIndex(0, 0), createIndex(int(m_rows.size()) - 1, 0), {AttentionRole});
    if (currentRow() != row)
        Q_EMIT currentRowChanged();
}

void LineListModel::setSession(const Session *session)
{
    const qint64 index = session ? session->index : -1;
    const int row = currentRow();
    const qint64 previous = m_index;
    const bool sameScript = session && m_lines.isSharedWith(session->script.lines);
    m_session = session;
    if (!sameScript) {
        beginResetModel();
        m_lines = session ? session->script.lines : QList<ScriptLine>();
        m_index = index;
        m_rows = filtered();
        endResetModel();
    } else {
        m_index = index;
        moveTo(filtered());
        // Takes and the current line may have changed anywhere; a view redraws only the rows
        // it has built.
        if (!m_rows.isEmpty())
            Q_EMIT dataChanged(createIndex(0, 0), createIndex(int(m_rows.size()) - 1, 0),
                {RecordedRole, CurrentRole, AttentionRole});
    }
    if (currentRow() != row)
        Q_EMIT currentRowChanged();
    if (!sameScript || index != previous)
        Q_EMIT currentMoved();
}

void LineListModel::moveTo(const QList<int> &target)
{
    if (target == m_rows)
        return;
    if (countRuns(m_rows, target) > maxRuns) {
        beginResetModel();
        m_rows = target;
        endResetModel();
        return;
    }
    qsizetype row = 0, t = 0;
    while (row < m_rows.size() || t < target.size()) {
        const bool removing
            = row < m_rows.size() && (t >= target.size() || m_rows.at(row) < target.at(t));
        const bool inserting
            = t < target.size() && (row >= m_rows.size() || target.at(t) < m_rows.at(row));
        if (removing) {
            qsizetype end = row;
            while (end < m_rows.size() && (t >= target.size() || m_rows.at(end) < target.at(t)))
                ++end;
            beginRemoveRows({}, int(row), int(end - 1));
            m_rows.remove(row, end - row);
            endRemoveRows();
        } else if (inserting) {
            qsizetype end = t;
            while (end < target.size() && (row >= m_rows.size() || target.at(end) < m_rows.at(row)))
                ++end;
            beginInsertRows({}, int(row), int(row + (end - t) - 1));
            m_rows.insert(row, end - t, 0);
            std::copy(target.cbegin() + t, target.cbegin() + end, m_rows.begin() + row);
            endInsertRows();
            row += end - t;
            t = end;
        } else {
            ++row;
            ++t;
        }
    }
}
