#pragma once

// The checks of a session's takes over the cache in its folder: what is trusted, what is
// analysed again, and that a cache that cannot be read or written costs nothing but time.

#include "takechecks.h"
#include "testfiles.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

class TakeCheckTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void followsTheCache_data()
    {
        QTest::addColumn<QString>("cache"); // "stale", "fresh", "corrupt", "blocked" or none
        QTest::addColumn<unsigned>("flags"); // what take a (a quiet tone) carries afterwards
        const unsigned quiet = Analysis::TooQuiet | Analysis::NoSpeech;
        QTest::newRow("no cache: analysed") << "" << quiet;
        // An entry of another size is of another file: analysed again, but what the status
        // line said when the take was filed stays.
        QTest::newRow("a stale entry") << "stale" << (quiet | Analysis::Clipped);
        QTest::newRow("a fresh entry is trusted") << "fresh" << unsigned(Analysis::Noisy);
        QTest::newRow("a corrupt cache is rebuilt") << "corrupt" << quiet;
        QTest::newRow("a cache that cannot be written") << "blocked" << quiet;
    }

    void followsTheCache()
    {
        QFETCH(QString, cache);
        QFETCH(unsigned, flags);
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(u"takes"_s));
        writeFile(dir.filePath(u"takes/a.wav"_s), takeBytes(48000, 48000));
        const Session session {.script = Script::recordingTest(),
            .takes = {{u"test-welcome"_s, {{u"A"_s, u"takes/a.wav"_s, 1, {}}}}},
            .selected = {}};
        const QString path = dir.filePath(QLatin1StringView(AnalysisCache::fileName));
        AnalysisCache::Entry known {
            *AnalysisCache::stamp(dir.filePath(u"takes/a.wav"_s)), {}, {}, 0};
        known.report.flags = Analysis::Noisy;
        if (cache == u"stale") {
            known.stamp.size += 1;
            known.filed = Analysis::Clipped;
        }
        if (cache == u"stale" || cache == u"fresh")
            AnalysisCache::save(dir.path(), {{u"takes/a.wav"_s, known}});
        if (cache == u"corrupt")
            writeFile(path, "{\"version\": 1, \"takes\": {\"takes/a.wav\": ");
        if (cache == u"blocked")
            QVERIFY(QDir().mkpath(path + u"/x"_s));

        {
            TakeChecks checks;
            checks.open(&session, dir.path());
            QTRY_VERIFY(checks.entry(u"takes/a.wav"_s));
            QCOMPARE(checks.entry(u"takes/a.wav"_s)->flags(), flags);
            QVERIFY(checks.entry(u"takes/a.wav"_s)->failure.isEmpty());
        }
        // Written once the worker is done: what was found is found again without analysing.
        if (cache != u"blocked")
            QCOMPARE(AnalysisCache::load(dir.path()).value(u"takes/a.wav"_s).flags(), flags);
    }
};
