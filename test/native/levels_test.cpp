// The meters' levels: what the data thread adds up and hands over through a
// ring, and what the consumer makes of it.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "core/Levels.h"

namespace {

// A sine of amplitude `a` reads 20·log10(a) peak and 3 dB less RMS; a silent
// channel reads -infinity.
TEST(Levels, SineReadsPeakAndRms) {
    LevelAccumulator acc(2);
    std::vector<float> sine(4800), silence(4800, 0.0f);
    double amplitude = std::pow(10.0, -6 / 20.0);
    for (size_t i = 0; i < sine.size(); i++) sine[i] = float(amplitude * std::sin(2 * M_PI * 1000 * double(i) / 48000));
    acc.add(0, sine.data(), sine.size());
    acc.add(1, silence.data(), silence.size());
    acc.advance(4800, 1);
    MeterLevels levels;
    acc.sums().toLevels(0, levels);
    EXPECT_NEAR(levels.peak[0], -6.0, 0.01);
    EXPECT_NEAR(levels.rms[0], -9.01, 0.01);
    EXPECT_TRUE(levels.peak[1] == -INFINITY && levels.rms[1] == -INFINITY) << "silence";
}

// Two meters of one rate started in different periods of one driver end
// their intervals in the same periods, each interval as long as asked on
// average; without a clock position, or past two intervals, by frames.
TEST(Levels, IntervalsEndTogetherOnTheDriversClock) {
    const uint64_t period = 1024;
    const double interval = 48000 / 10.0;  // 10 levels a second: 5 periods
    std::vector<uint64_t> ends[2];
    for (int m = 0; m < 2; m++) {
        uint64_t frames = 0;
        for (uint64_t cycle = 7 + 3 * m; cycle < 60; cycle++) {  // the second starts 3 periods later
            frames += period;
            if (!endsInterval(frames, period, interval, int64_t(cycle))) continue;
            ends[m].push_back(cycle);
            frames = 0;
        }
    }
    ASSERT_GE(ends[1].size(), 9u);
    std::vector<uint64_t> last(ends[0].end() - ends[1].size(), ends[0].end());
    EXPECT_EQ(last, ends[1]);
    for (size_t i = 1; i < ends[1].size(); i++) EXPECT_EQ(ends[1][i] - ends[1][i - 1], 5u);
    EXPECT_FALSE(endsInterval(4096, period, interval, -1));
    EXPECT_TRUE(endsInterval(5120, period, interval, -1));
    EXPECT_TRUE(endsInterval(9600, period, interval, 1)) << "two intervals held end one";
    EXPECT_TRUE(endsInterval(2048, 2048, 1000, 3)) << "an interval shorter than a period ends with each";
}

// A full ring takes nothing more; what waits is taken as one: the latest
// end, the largest peak, every frame and square.
TEST(Levels, RingRefusesWhenFullAndMergesWhatWaits) {
    LevelRing ring(1, 2);
    LevelSums a, b, c, out;
    a.reset(1), b.reset(1), c.reset(1);
    a.peak[0] = 0.5f, a.sumSquares[0] = 2, a.frames = 10, a.endNs = 100;
    b.peak[0] = 0.25f, b.sumSquares[0] = 3, b.frames = 20, b.endNs = 200;
    EXPECT_EQ(ring.takeAll(out), 0u);
    EXPECT_TRUE(ring.push(a));
    EXPECT_TRUE(ring.push(b));
    EXPECT_FALSE(ring.push(c));
    EXPECT_EQ(ring.takeAll(out), 2u);
    EXPECT_EQ(std::tie(out.peak[0], out.sumSquares[0]), std::make_tuple(0.5f, 5.0));
    EXPECT_EQ(std::tie(out.frames, out.endNs), std::make_tuple(30u, 200));
    EXPECT_EQ(ring.takeAll(out), 0u);
    EXPECT_TRUE(ring.push(c));
}

// One thread pushes as the data thread does (keeping its sums while the ring
// is full), another takes as the JavaScript thread does: every frame and
// every square arrives once, in order, whatever the interleaving (run under
// ThreadSanitizer too).
TEST(Levels, RingHandsEveryIntervalOverOnceBetweenThreads) {
    constexpr uint64_t kIntervals = 200000;
    LevelRing ring(2, 4);
    std::thread producer([&ring] {
        LevelAccumulator acc(2);
        float one = 1.0f;
        for (uint64_t i = 1; i <= kIntervals; i++) {
            acc.add(0, &one, 1), acc.add(1, &one, 1);
            acc.advance(1, int64_t(i));
            if (ring.push(acc.sums())) acc.clear();
        }
        while (acc.frames() > 0 && !ring.push(acc.sums())) std::this_thread::yield();
    });
    uint64_t frames = 0;
    double squares = 0;
    int64_t lastEnd = 0;
    LevelSums taken;
    while (frames < kIntervals) {
        if (!ring.takeAll(taken)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_GT(taken.endNs, lastEnd);
        ASSERT_EQ(taken.sumSquares[0], double(taken.frames));
        lastEnd = taken.endNs;
        frames += taken.frames;
        squares += taken.sumSquares[1];
    }
    producer.join();
    EXPECT_EQ(std::tie(frames, lastEnd), std::make_tuple(kIntervals, int64_t(kIntervals)));
    EXPECT_EQ(squares, double(kIntervals));
}

}  // namespace
