#include "pulse/stream_mixer.h"

#include <algorithm>

namespace pulse {

StreamMixer::StreamMixer(std::size_t cushionFrames, std::size_t aheadFrames, std::size_t capacityFrames)
    : m_cushion(cushionFrames), m_ahead(aheadFrames), m_capacity(capacityFrames) {}

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
        slot->samples.resize(capacityFrames() * kChannels);
    }
    slot->id = id;
    slot->live = true;
    slot->primed = false;
    slot->ending = false;
    slot->refill = false;
    slot->head = 0;
    slot->count = 0;
}

void StreamMixer::removeStream(std::uint32_t id) {
    Queue* queue = find(id);
    if (queue == nullptr) return;
    queue->ending = true;
    if (queue->count == 0 || !queue->primed) queue->live = false;
}

bool StreamMixer::hasStream(std::uint32_t id) const {
    const Queue* queue = find(id);
    return queue != nullptr && !queue->ending;
}

std::size_t StreamMixer::streamCount() const {
    return static_cast<std::size_t>(std::count_if(
        m_queues.begin(), m_queues.end(), [](const Queue& queue) { return queue.live && !queue.ending; }));
}

std::size_t StreamMixer::queuedFrames(std::uint32_t id) const {
    const Queue* queue = find(id);
    return queue != nullptr ? queue->count : 0;
}

void StreamMixer::dropOldest(Queue& queue, std::size_t frameCount) {
    frameCount = std::min(frameCount, queue.count);
    queue.head = (queue.head + frameCount) % capacityFrames();
    queue.count -= frameCount;
}

void StreamMixer::appendSilence(Queue& queue, std::size_t frameCount) {
    const std::size_t capacity = capacityFrames();
    for (std::size_t i = 0; i < frameCount; ++i) {
        if (queue.count == capacity) dropOldest(queue, 1);
        const std::size_t slot = (queue.head + queue.count) % capacity;
        queue.samples[slot * kChannels] = 0.0f;
        queue.samples[slot * kChannels + 1] = 0.0f;
        ++queue.count;
    }
}

void StreamMixer::append(Queue& queue, const float* frames, std::size_t frameCount) {
    const std::size_t capacity = capacityFrames();
    if (frameCount > capacity) {  // only the newest part can be kept
        frames += (frameCount - capacity) * kChannels;
        frameCount = capacity;
    }
    if (queue.count + frameCount > capacity) dropOldest(queue, queue.count + frameCount - capacity);
    std::size_t tail = (queue.head + queue.count) % capacity;
    std::size_t done = 0;
    while (done < frameCount) {
        const std::size_t run = std::min(frameCount - done, capacity - tail);
        std::copy(frames + done * kChannels, frames + (done + run) * kChannels,
                  queue.samples.begin() + static_cast<std::ptrdiff_t>(tail * kChannels));
        done += run;
        tail = (tail + run) % capacity;
    }
    queue.count += frameCount;
}

void StreamMixer::pushStream(std::uint32_t id, const float* frames, std::size_t frameCount) {
    Queue* queue = find(id);
    if (queue == nullptr || queue->ending || frameCount == 0) return;
    if (!queue->primed || queue->refill) {
        appendSilence(*queue, m_cushion - std::min(queue->count, m_cushion));
        queue->primed = true;
        queue->refill = false;
    }
    append(*queue, frames, frameCount);
}

void StreamMixer::resumeStream(std::uint32_t id) {
    if (Queue* queue = find(id)) queue->refill = true;
}

void StreamMixer::pushStreamSilence(std::uint32_t id, std::size_t frameCount) {
    Queue* queue = find(id);
    if (queue == nullptr || queue->ending || !queue->primed) return;  // not under way: no time to keep
    appendSilence(*queue, frameCount);
}

void StreamMixer::addInto(Queue& queue, float* out, std::size_t frameCount) {
    const std::size_t capacity = capacityFrames();
    std::size_t done = 0;
    while (done < frameCount) {
        const std::size_t run = std::min(frameCount - done, capacity - queue.head);
        const float* from = queue.samples.data() + queue.head * kChannels;
        float* to = out + done * kChannels;
        for (std::size_t i = 0; i < run * kChannels; ++i) to[i] += from[i];
        done += run;
        queue.head = (queue.head + run) % capacity;
    }
    queue.count -= frameCount;
}

std::size_t StreamMixer::mixClockFrames(std::size_t frameCount, float* out) {
    frameCount = std::min(frameCount, m_capacity);
    std::fill(out, out + frameCount * kChannels, 0.0f);
    for (Queue& queue : m_queues) {
        if (!queue.live || !queue.primed) continue;
        const std::size_t available = std::min(queue.count, frameCount);
        addInto(queue, out, available);
        // Short: the rest of this tick stays zero, and the stream starts again behind a fresh cushion.
        if (available < frameCount) queue.primed = false;
        if (queue.ending && queue.count == 0) queue.live = false;
        if (queue.count > m_cushion + m_ahead) dropOldest(queue, queue.count - m_cushion);
    }
    return frameCount;
}

}  // namespace pulse
