#pragma once

#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

// A property the code must keep. A violation stops the run as a crash does,
// so that libFuzzer keeps the input as a reproducer; the line says which
// property it was.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__,   \
                         #condition);                                                          \
            std::fflush(stderr);                                                               \
            __builtin_trap();                                                                  \
        }                                                                                      \
    } while (false)

namespace fuzz {

// One folder for the files a target writes and reads back, under TMPDIR
// (fuzz/run.sh points that at a scratch folder, in memory where it can).
inline QString ScratchFile(const char *name)
{
    static QTemporaryDir dir;
    FUZZ_CHECK(dir.isValid());
    return dir.filePath(QString::fromLatin1(name));
}

} // namespace fuzz
