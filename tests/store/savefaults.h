#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTemporaryDir>

/// Runs real saves in a separate process (quorbel-test-saver) and breaks them from outside: strace
/// fails or kills each system call the save makes in the session folder, and a tiny tmpfs runs
/// out of space halfway through a write. Whatever happens, session.json must hold the old or the
/// new document, a failure must be reported, and no temporary file may be left behind.
class SaveFaultTest : public QObject
{
    Q_OBJECT

public:
    /// One system call of a save that touches the session folder, as strace showed it.
    struct Call
    {
        QString name; ///< "fsync", "renameat", …
        int occurrence = 0; ///< its number among the process's calls of that name (strace's when=)
        int ordinal = 0; ///< its number among the save's own calls of that name
        QString signature; ///< the call without its result, folder and temporary name neutral
        QString target; ///< what it works on, for the case names
    };

    /// How a save of one document goes without faults, as strace showed it.
    struct Plan
    {
        QByteArray bytes; ///< the document it leaves
        QList<Call> calls; ///< its calls in the folder, in order
        qsizetype rename = -1; ///< the index in `calls` of the rename into place
    };

private slots:
    void initTestCase();

    void savesWithoutFaults();
    void flushesAroundTheRename_data();
    void flushesAroundTheRename();
    void reportsEveryFailedCall_data();
    void reportsEveryFailedCall();
    void recoversFromInterruptedCalls_data();
    void recoversFromInterruptedCalls();
    void keepsADocumentWhenKilled_data();
    void keepsADocumentWhenKilled();
    void handlesAFullDisk_data();
    void handlesAFullDisk();

private:
    /// A new session folder holding the old document; empty if it could not be made.
    QString newFolder();

    QTemporaryDir m_root;
    QString m_rootPath; ///< m_root without symbolic links, as strace shows paths
    QString m_strace; ///< empty when the strace cases cannot run
    QString m_straceMissing; ///< why they cannot
    QByteArray m_old;
    /// By the saver's name for the document saved over the old one: "new", small enough for a
    /// single write, and "big", which may take several.
    QMap<QString, Plan> m_plans;
    int m_cases = 0;
};
