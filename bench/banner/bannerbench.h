#ifndef BANNERBENCH_H
#define BANNERBENCH_H

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

// The median time of rounds runs of run, in nanoseconds; -1 when a run
// fails.
inline double medianNs(int rounds, const std::function<bool()>& run)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        if (!run())
            return -1;
        times.push_back(double(timer.nsecsElapsed()));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// The rounds asked for on the command line, 5 by default.
inline int roundsArgument(int argc, char* argv[])
{
    return argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
}

// The sample release's banner, read whole; empty, and said why, when it or
// the scratch directory is missing.
inline QByteArray readSampleBanner(const QTemporaryDir& scratch)
{
    QFile sample(QStringLiteral(KV_SAMPLE_BANNER));
    if (!scratch.isValid() || !sample.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "no temporary directory or no sample banner\n");
        return QByteArray();
    }
    return sample.readAll();
}

#endif
