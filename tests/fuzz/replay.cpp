// Runs a fuzz target once on every file in the folders given, as libFuzzer runs one input, so
// that each test run checks the seed corpus and every past finding again. Built by the ordinary
// compiler, without libFuzzer. A broken promise aborts, which fails the test.

#include <QDirIterator>
#include <QFile>

#include <algorithm>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[])
{
    QStringList inputs;
    for (int i = 1; i < argc; ++i) {
        for (QDirIterator it(QFile::decodeName(argv[i]), QDir::Files | QDir::Hidden,
                 QDirIterator::Subdirectories);
             it.hasNext();)
            inputs.append(it.next());
    }
    std::sort(inputs.begin(), inputs.end());
    for (const QString &input : inputs) {
        QFile file(input);
        // Named before it runs: if the target crashes, the last name printed is the culprit.
        std::printf("%s\n", qPrintable(input));
        std::fflush(stdout);
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = file.readAll();
        LLVMFuzzerTestOneInput(
            reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }
    std::printf("%lld inputs, no failure\n", static_cast<long long>(inputs.size()));
    // An empty corpus checks nothing.
    return inputs.isEmpty() ? 1 : 0;
}
