#include "Levels.h"

#include <algorithm>
#include <cmath>
#include <limits>

double amplitudeDb(double amplitude) {
    if (!(amplitude > 0)) return -std::numeric_limits<double>::infinity();
    return 20 * std::log10(amplitude);
}

void LevelSums::reset(size_t channels) {
    endNs = 0;
    frames = 0;
    peak.assign(channels, 0.0f);
    sumSquares.assign(channels, 0.0);
}

void LevelSums::merge(const LevelSums& other) {
    endNs = std::max(endNs, other.endNs);
    frames += other.frames;
    size_t n = std::min(peak.size(), other.peak.size());
    for (size_t i = 0; i < n; i++) {
        peak[i] = std::max(peak[i], other.peak[i]);
        sumSquares[i] += other.sumSquares[i];
    }
}

void LevelSums::toLevels(double t, MeterLevels& out) const {
    out.t = t;
    out.peak.resize(peak.size());
    out.rms.resize(peak.size());
    for (size_t i = 0; i < peak.size(); i++) {
        out.peak[i] = amplitudeDb(peak[i]);
        double meanSquare = frames ? sumSquares[i] / double(frames) : 0;
        out.rms[i] = amplitudeDb(std::sqrt(meanSquare));
    }
}

void LevelAccumulator::reset(size_t channels) {
    sums_.reset(channels);
}

void LevelAccumulator::clear() {
    std::fill(sums_.peak.begin(), sums_.peak.end(), 0.0f);
    std::fill(sums_.sumSquares.begin(), sums_.sumSquares.end(), 0.0);
    sums_.frames = 0;
}

void LevelAccumulator::add(size_t channel, const float* samples, size_t count) {
    if (channel >= sums_.peak.size()) return;
    float peak = sums_.peak[channel];
    double sum = 0;
    for (size_t i = 0; i < count; i++) {
        float v = samples[i];
        peak = std::max(peak, std::fabs(v));
        sum += double(v) * v;
    }
    sums_.peak[channel] = peak;
    sums_.sumSquares[channel] += sum;
}

LevelRing::LevelRing(size_t channels, size_t slots) : channels_(channels), slots_(std::max<size_t>(slots, 1)) {
    ring_.resize(slots_);
    for (LevelSums& s : ring_) s.reset(channels_);
}

bool LevelRing::push(const LevelSums& sums) {
    uint64_t head = head_.load(std::memory_order_relaxed);
    if (head - tail_.load(std::memory_order_acquire) >= slots_) return false;
    LevelSums& slot = ring_[head % slots_];
    // Same sizes: copies without allocating.
    size_t n = std::min(channels_, sums.peak.size());
    std::copy_n(sums.peak.begin(), n, slot.peak.begin());
    std::copy_n(sums.sumSquares.begin(), n, slot.sumSquares.begin());
    slot.frames = sums.frames;
    slot.endNs = sums.endNs;
    head_.store(head + 1, std::memory_order_release);
    return true;
}

size_t LevelRing::takeAll(LevelSums& out) {
    uint64_t tail = tail_.load(std::memory_order_relaxed);
    uint64_t head = head_.load(std::memory_order_acquire);
    if (tail == head) return 0;
    out.reset(channels_);
    for (uint64_t i = tail; i != head; i++) out.merge(ring_[i % slots_]);
    tail_.store(head, std::memory_order_release);
    return size_t(head - tail);
}

bool endsInterval(uint64_t frames, uint64_t period, double interval, int64_t cycle) {
    if (period == 0) return false;
    if (cycle < 0 || double(frames) >= 2 * interval) return double(frames) >= interval;
    uint64_t n = std::max<uint64_t>(1, uint64_t(std::ceil(interval / double(period))));
    return (uint64_t(cycle) + 1) % n == 0;
}

int64_t clockCycle(int64_t nowNs, uint64_t period, double rate) {
    int64_t periodNs = rate > 0 ? int64_t(double(period) * 1e9 / rate) : 0;
    return nowNs > 0 && periodNs > 0 ? nowNs / periodNs : -1;
}
