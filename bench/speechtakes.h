#pragma once

// Takes for the benchmarks that read audio: mono 48 kHz 24-bit WAV files, as the program
// records them, of sound shaped like a line read aloud.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QRandomGenerator>
#include <QString>

#include <cmath>
#include <numbers>
#include <stdexcept>

namespace Bench {

inline constexpr int takeRate = 48'000;
inline constexpr int takeBytesPerSample = 3;

inline void appendLittleEndian(QByteArray &bytes, quint32 value, int size)
{
    for (int i = 0; i < size; ++i)
        bytes.append(char(value >> (8 * i) & 0xff));
}

/// The 44-byte header of a take of `frames` frames.
inline QByteArray takeHeader(qint64 frames)
{
    const auto dataBytes = quint32(frames * takeBytesPerSample);
    QByteArray wav;
    wav.append("RIFF");
    appendLittleEndian(wav, 36 + dataBytes, 4);
    wav.append("WAVEfmt ");
    appendLittleEndian(wav, 16, 4);
    appendLittleEndian(wav, 1, 2); // integer PCM
    appendLittleEndian(wav, 1, 2); // mono
    appendLittleEndian(wav, takeRate, 4);
    appendLittleEndian(wav, takeRate * takeBytesPerSample, 4);
    appendLittleEndian(wav, takeBytesPerSample, 2);
    appendLittleEndian(wav, 8 * takeBytesPerSample, 2);
    wav.append("data");
    appendLittleEndian(wav, dataBytes, 4);
    return wav;
}

/// `seconds` that sound like a person reading a line: half a second of room, words of voiced
/// syllables (a fundamental gliding between 100 and 180 Hz with its harmonics, shaped by an
/// envelope) with short pauses between them, and a second of room at the end. Peaks near
/// −10 dBFS; the room's noise is added per take.
inline QList<qint32> speechLike(QRandomGenerator &random, int seconds)
{
    QList<qint32> samples(qsizetype(seconds) * takeRate, 0);
    qsizetype at = takeRate / 2;
    const qsizetype end = samples.size() - takeRate;
    double phase = 0;
    while (at < end) {
        const int syllables = 1 + int(random.bounded(4));
        for (int s = 0; s < syllables && at < end; ++s) {
            const qsizetype length
                = std::min<qsizetype>(takeRate * (120 + random.bounded(180)) / 1000, end - at);
            const double f0 = 100 + random.bounded(80.0);
            const double glide = random.bounded(40.0) - 20;
            const double level = 0.15 + random.bounded(0.15);
            for (qsizetype i = 0; i < length; ++i) {
                const double t = double(i) / double(length);
                phase += 2 * std::numbers::pi * (f0 + glide * t) / takeRate;
                double voice = 0;
                for (int h = 1; h <= 8; ++h)
                    voice += std::sin(h * phase) / h;
                const double envelope = std::sin(std::numbers::pi * t);
                samples[at + i] = qint32(std::lround(level * envelope * voice * 0x7fffff / 2));
            }
            at += length;
        }
        at += takeRate * (60 + random.bounded(200)) / 1000; // a pause between words
    }
    return samples;
}

/// Writes a take of `speech` under the room's faint noise (about −65 dBFS), different in every
/// take, so that no file shares its blocks with another.
inline void writeTake(const QString &path, const QList<qint32> &speech, QRandomGenerator &random)
{
    QByteArray wav = takeHeader(speech.size());
    const qsizetype header = wav.size();
    wav.resize(header + speech.size() * takeBytesPerSample);
    char *out = wav.data() + header;
    quint32 noise = 0;
    for (qsizetype i = 0; i < speech.size(); ++i) {
        if (i % 2 == 0)
            noise = random.generate();
        const auto sample = quint32(speech[i] + qint16(noise >> (16 * (i % 2))) / 4);
        for (int byte = 0; byte < takeBytesPerSample; ++byte)
            *out++ = char(sample >> (8 * byte) & 0xff);
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || file.write(wav) != wav.size())
        throw std::runtime_error("Could not write " + path.toStdString());
}

} // namespace Bench
