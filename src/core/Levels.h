// Audio levels as the meters measure them: per channel, the largest sample
// and the sum of squares over a run of periods (LevelAccumulator, on the
// data thread), handed to a consumer through a ring that neither side locks
// (LevelRing), and turned into decibels there. V8-free, PipeWire-free.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

// Whether the period just added (`period` frames, the `cycle`th of its
// length on the driver's clock, negative when unknown) ends an interval of
// `interval` frames whose sums hold `frames` so far. An interval of n
// periods (at least one) ends in the period whose cycle is one short of a
// multiple of n: every meter of one rate on one driver ends its intervals
// in the same period, so that their levels are taken together. By frames
// alone without a cycle, and when the sums hold two intervals (a clock
// that jumped).
bool endsInterval(uint64_t frames, uint64_t period, double interval, int64_t cycle);

// The cycle of a period of `period` frames at `rate` Hz that began at
// `nowNs` on the driver's clock (the same for every stream of that driver
// in that cycle): that time over the period's length; -1 when unknown.
int64_t clockCycle(int64_t nowNs, uint64_t period, double rate);

// Levels in dBFS per channel; -infinity for silence. `t`: the wall clock,
// in ms since the epoch, when the interval ended.
struct MeterLevels {
    double t = 0;
    std::vector<double> peak, rms;
};

// 20·log10 of an amplitude; -infinity for 0.
double amplitudeDb(double amplitude);

// The sums of one or more intervals: per channel the largest magnitude and
// the sum of squares, over `frames` frames; `endNs` the monotonic clock at
// the end of the last period.
struct LevelSums {
    int64_t endNs = 0;
    uint64_t frames = 0;
    std::vector<float> peak;
    std::vector<double> sumSquares;

    void reset(size_t channels);
    // Adds `other` (same channels): the later end, the larger peaks, the sums.
    void merge(const LevelSums& other);
    // The levels in dBFS into `out` (its vectors reused), with `t` as given.
    void toLevels(double t, MeterLevels& out) const;
};

// Peak and sum of squares of each channel, over the periods added since the
// last hand-over. Allocates only in reset().
class LevelAccumulator {
public:
    LevelAccumulator() = default;
    explicit LevelAccumulator(size_t channels) { reset(channels); }
    void reset(size_t channels);
    // `samples` of channel `channel` (out of range: ignored).
    void add(size_t channel, const float* samples, size_t count);
    // Counts `frames` more frames, ending at `endNs`; add() calls for one
    // period come first.
    void advance(size_t frames, int64_t endNs) {
        sums_.frames += frames;
        sums_.endNs = endNs;
    }
    uint64_t frames() const { return sums_.frames; }
    // Forgets what was added since the last hand-over.
    void clear();
    const LevelSums& sums() const { return sums_; }

private:
    LevelSums sums_;
};

// A ring of interval sums from one producer thread to one consumer thread:
// neither locks, allocates (after construction) nor makes a system call. The
// producer pushes an interval's sums or, the ring being full, keeps adding
// to its own until there is room, so that what the consumer takes always
// covers every period since its last take.
class LevelRing {
public:
    LevelRing(size_t channels, size_t slots);
    size_t channels() const { return channels_; }

    // Producer: copies `sums` into the next free slot; false when full.
    bool push(const LevelSums& sums);
    // Consumer: every interval waiting, merged into `out` (reset to the
    // ring's channels first); how many (0: none waits, `out` untouched).
    size_t takeAll(LevelSums& out);

private:
    size_t channels_;
    size_t slots_;
    std::vector<LevelSums> ring_;    // slots_ records, each sized once
    std::atomic<uint64_t> head_{0};  // written by the producer: records pushed
    std::atomic<uint64_t> tail_{0};  // written by the consumer: records taken
};
