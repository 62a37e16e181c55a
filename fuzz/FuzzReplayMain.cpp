// Runs a fuzz entry point without libFuzzer: over the built-in seeds, over the
// files and directories named on the command line, and over random inputs
// ("--random N", fixed seed) so the target is exercised in every build.

#include "fuzz/FuzzReplay.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runOne(const std::string& input)
{
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

bool runFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(path));
        return false;
    }
    runOne(file.readAll().toStdString());
    return true;
}

// Random inputs built from the target's pieces, so some of them get past its
// first checks.
void runRandom(const FuzzReplayInputs& target, long count)
{
    std::mt19937 random(20240601);
    for (long i = 0; i < count; ++i) {
        std::string input(std::size_t(target.headerBytes), '\0');
        for (char& c : input)
            c = char(random());
        const int length = int(random() % 80);
        for (int k = 0; k < length; ++k) {
            if (target.pieces.empty() || random() % 8 == 0)
                input += char(random());
            else
                input += target.pieces[random() % target.pieces.size()];
        }
        runOne(input);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const FuzzReplayInputs target = fuzzReplayInputs();
    long inputs = 0;
    for (const std::string& seed : target.seeds) {
        runOne(seed);
        ++inputs;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--random" && i + 1 < argc) {
            const long count = std::strtol(argv[++i], nullptr, 10);
            runRandom(target, count);
            inputs += count;
            continue;
        }
        const QString path = QFile::decodeName(argv[i]);
        if (QFileInfo(path).isDir()) {
            QDirIterator files(path, QDir::Files, QDirIterator::Subdirectories);
            while (files.hasNext()) {
                if (!runFile(files.next()))
                    return 1;
                ++inputs;
            }
        } else if (!runFile(path)) {
            return 1;
        } else {
            ++inputs;
        }
    }
    std::printf("replayed %ld inputs\n", inputs);
    return 0;
}
