// Runs a fuzz target once on every file of the folders (or files) given, as libFuzzer runs one
// input, so that each test run checks the seed corpus and every past finding again. Built by
// the ordinary compiler, without libFuzzer. A broken promise aborts, which fails the test.

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char *argv[])
{
    QStringList inputs;
    for (int i = 1; i < argc; ++i) {
        const QString path = QFile::decodeName(argv[i]);
        if (!QFileInfo(path).isDir())
            inputs.append(path);
        for (QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
             it.hasNext();)
            inputs.append(it.next());
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.isEmpty()) {
        std::fprintf(stderr, "No inputs: an empty corpus checks nothing\n");
        return 1;
    }
    for (const QString &input : inputs) {
        QFile file(input);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "Cannot read %s\n", qPrintable(input));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        // Named before it runs: if the target crashes, the last name printed is the culprit.
        std::printf("%s\n", qPrintable(input));
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(
            reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
    }
    std::printf("%lld inputs, no failure\n", static_cast<long long>(inputs.size()));
    return 0;
}
