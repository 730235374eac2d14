#include "pulse/stream_mixer.h"

#include <algorithm>

namespace pulse {

namespace {

constexpr std::size_t kDeliveries = 256;  // clock deliveries remembered; older ones are merged

}  // namespace

StreamMixer::StreamMixer(const MixerLimits& limits, stream::StreamFormat format)
    : m_limits(limits), m_format(format), m_channels(format.channels()), m_deliveries(kDeliveries) {}

StreamMixer::Queue* StreamMixer::find(std::uint32_t id) {
    for (Queue& queue : m_queues) {
        if (queue.live && queue.id == id) return &queue;
    }
    return nullptr;
}

const StreamMixer::Queue* StreamMixer::find(std::uint32_t id) const {
    for (const Queue& queue : m_queues) {
        if (queue.live && queue.id == id) return &queue;
    }
    return nullptr;
}

void StreamMixer::addStream(std::uint32_t id) {
    if (Queue* existing = find(id)) {
        existing->ending = false;
        return;
    }
    Queue* slot = nullptr;
    for (Queue& queue : m_queues) {
        if (!queue.live) {
            slot = &queue;
            break;
        }
    }
    if (slot == nullptr) {
        m_queues.emplace_back();
        slot = &m_queues.back();
        slot->samples.resize(m_limits.capacityFrames * m_channels);
    }
    slot->id = id;
    slot->live = true;
    slot->ending = false;
    slot->waited = false;
    slot->resumed = false;
    slot->patience = m_limits.patienceFrames;
    slot->steadyFrames = 0;
    slot->head = 0;
    slot->count = 0;
}

void StreamMixer::removeStream(std::uint32_t id) {
    Queue* queue = find(id);
    if (queue == nullptr) return;
    queue->ending = true;
    queue->waited = false;  // nothing more comes
    if (queue->count == 0) queue->live = false;
}

void StreamMixer::dropOldest(Queue& queue, std::size_t frameCount) {
    frameCount = std::min(frameCount, queue.count);
    queue.head = (queue.head + frameCount) % m_limits.capacityFrames;
    queue.count -= frameCount;
}

void StreamMixer::appendSilence(Queue& queue, std::size_t frameCount) {
    const std::size_t capacity = m_limits.capacityFrames;
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (queue.count == capacity) dropOldest(queue, 1);
        const std::size_t slot = (queue.head + queue.count) % capacity;
        std::fill_n(queue.samples.begin() + static_cast<std::ptrdiff_t>(slot * m_channels), m_channels, 0.0f);
        ++queue.count;
    }
}

void StreamMixer::append(Queue& queue, const float* frames, std::size_t frameCount) {
    const std::size_t capacity = m_limits.capacityFrames;
    if (frameCount > capacity) {  // only the newest part can be kept
        frames += (frameCount - capacity) * m_channels;
        frameCount = capacity;
    }
    if (queue.count + frameCount > capacity) dropOldest(queue, queue.count + frameCount - capacity);
    std::size_t tail = (queue.head + queue.count) % capacity;
    std::size_t done = 0;
    while (done < frameCount) {
        const std::size_t run = std::min(frameCount - done, capacity - tail);
        std::copy(frames + done * m_channels, frames + (done + run) * m_channels,
                  queue.samples.begin() + static_cast<std::ptrdiff_t>(tail * m_channels));
        done += run;
        tail = (tail + run) % capacity;
    }
    queue.count += frameCount;
}

void StreamMixer::pushStream(std::uint32_t id, const float* frames, std::size_t frameCount) {
    Queue* queue = find(id);
    if (queue == nullptr || queue->ending || frameCount == 0) return;
    if (!queue->waited || queue->resumed) {
        // Its audio is as new as the clock's newest frame: the clock frames it has nothing for stay silent.
        // A reopened recording's first delivery ends there.
        const std::size_t start =
            !queue->resumed ? m_pending : (m_pending > frameCount ? m_pending - frameCount : 0);
        if (queue->count < start) appendSilence(*queue, start - queue->count);
        queue->waited = true;
        queue->resumed = false;
    }
    append(*queue, frames, frameCount);
}

std::size_t StreamMixer::roomFor(std::uint32_t id) const {
    const Queue* queue = find(id);
    if (queue == nullptr) return 0;
    const std::size_t queued = queue->waited ? queue->count : std::max(queue->count, m_pending);
    const std::size_t limit = std::min(m_pending + m_limits.aheadFrames, m_limits.capacityFrames);
    return queued < limit ? limit - queued : 0;
}

void StreamMixer::resumeStream(std::uint32_t id) {
    Queue* queue = find(id);
    if (queue != nullptr && queue->waited) queue->resumed = true;
}

void StreamMixer::pushStreamSilence(std::uint32_t id, std::size_t frameCount) {
    Queue* queue = find(id);
    if (queue == nullptr || queue->ending || !queue->waited) return;  // not under way: no time to keep
    appendSilence(*queue, frameCount);
}

void StreamMixer::addClockFrames(std::size_t frameCount, std::int64_t now) {
    if (frameCount == 0) return;
    m_pending += frameCount;
    const std::uint64_t end = m_mixed + m_pending;
    if (m_deliveryCount == kDeliveries) {  // full: the newest takes in this one, and so seems older
        m_deliveries[(m_firstDelivery + m_deliveryCount - 1) % kDeliveries].end = end;
        return;
    }
    m_deliveries[(m_firstDelivery + m_deliveryCount) % kDeliveries] = {end, now};
    ++m_deliveryCount;
}

std::int64_t StreamMixer::arrivalOf(std::uint64_t clockFrame) const {
    for (std::size_t i = 0; i < m_deliveryCount; ++i) {
        const Delivery& delivery = m_deliveries[(m_firstDelivery + i) % kDeliveries];
        if (clockFrame < delivery.end) return delivery.arrival;
    }
    return 0;
}

void StreamMixer::addInto(Queue& queue, float* out, std::size_t frameCount) {
    const std::size_t capacity = m_limits.capacityFrames;
    std::size_t done = 0;
    while (done < frameCount) {
        const std::size_t run = std::min(frameCount - done, capacity - queue.head);
        const float* from = queue.samples.data() + queue.head * m_channels;
        float* to = out + done * m_channels;
        for (std::size_t i = 0; i < run * m_channels; ++i) to[i] += from[i];
        done += run;
        queue.head = (queue.head + run) % capacity;
    }
    queue.count -= frameCount;
}

void StreamMixer::keepPace(Queue& queue, std::size_t mixed, bool underrun) {
    if (underrun) {
        queue.waited = false;
        if (queue.resumed) return;  // the server took longer to reopen it than the patience
        ++m_dropouts;
        queue.patience = std::min(m_limits.maxPatienceFrames, queue.patience * 2);
        queue.steadyFrames = 0;
        return;
    }
    queue.steadyFrames += mixed;
    if (queue.steadyFrames >= m_limits.shrinkEveryFrames) {
        queue.steadyFrames = 0;
        queue.patience = std::max(m_limits.minPatienceFrames,
                                  queue.patience - std::min(queue.patience, m_limits.shrinkFrames));
    }
}

std::size_t StreamMixer::mix(float* out, std::size_t maxFrames, std::int64_t now) {
    std::size_t frames = std::min(m_pending, maxFrames);
    // Held back for every playing stream whose first missing frame arrived on the clock no longer ago
    // than its patience.
    for (const Queue& queue : m_queues) {
        if (queue.live && queue.waited && queue.count < frames &&
            now - arrivalOf(m_mixed + queue.count) <=
                static_cast<std::int64_t>(m_format.ticksFromFramesDown(queue.patience)))
            frames = queue.count;
    }
    if (frames == 0) return 0;
    m_pending -= frames;
    m_mixed += frames;
    while (m_deliveryCount > 0 && m_deliveries[m_firstDelivery].end <= m_mixed) {
        m_firstDelivery = (m_firstDelivery + 1) % kDeliveries;
        --m_deliveryCount;
    }
    std::fill(out, out + frames * m_channels, 0.0f);
    for (Queue& queue : m_queues) {
        if (!queue.live) continue;
        const std::size_t available = std::min(queue.count, frames);
        addInto(queue, out, available);
        if (queue.waited) keepPace(queue, frames, available < frames);
        if (queue.ending && queue.count == 0) queue.live = false;
        // Far ahead of the clock: keep the newest part, so the stream's latency stays bounded.
        const std::size_t ahead = queue.count > m_pending ? queue.count - m_pending : 0;
        if (ahead > m_limits.aheadFrames) dropOldest(queue, ahead - m_limits.aheadFrames / 2);
    }
    return frames;
}

}  // namespace pulse
