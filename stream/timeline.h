// The stream's clock. The stream carries no timestamps, so its length is its only clock: frame n stands
// for n / rate s after capture started. The engine hands out nothing while the machine is silent, and
// drops audio when it overflows; this keeps the account of the time the written frames stand for, and
// says how many zero frames keep that account true. All times are performance-counter positions in
// 100 ns units, the unit GetBuffer gives them in.
#pragma once

#include <cstdint>

#include "stream/stream_format.h"

namespace stream {

// The engine's packet flags the stream reads: AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY and
// AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR, which the driver pins these to.
constexpr std::uint32_t kFlagDiscontinuity = 0x1;
constexpr std::uint32_t kFlagTimestampError = 0x4;

// While the engine says nothing, silence is written up to this long before now. A packet is stamped with
// the time of its first frame and handed out a period later; the margin is ten times the buffer the
// client asks for, so a packet the engine hands out late still lies after the silence already written,
// and a reader still sees silence within 0.7 s (one 500 ms wait and the margin).
constexpr std::uint64_t kQuietMarginTicks = 10 * kBufferMilliseconds * kTicksPerMillisecond;  // 200 ms

// A position further than this from the stream's time, either way, is a clock that jumped (a machine that
// slept, a broken timestamp), not lost audio: nothing is written for it, and the count starts again there.
constexpr std::uint64_t kMaxGapTicks = 60 * kTicksPerSecond;

// A packet stamped within this of the stream's time continues it and moves the stream's time only a
// little towards its stamp: stamps wander by a few milliseconds (4 ms is common), and following each one
// whole would carry that wander into the next packet's gap. Following a little on every packet still
// takes out any drift between the device's clock and the counter. Further off, the packet is the
// reference outright. A packet flagged as a discontinuity must lie further than this to count as a gap.
constexpr std::uint64_t kFollowTicks = 60000;  // 6 ms
// The share of a continuing packet's distance from the stream's time that the reference moves.
constexpr std::uint64_t kFollowShare = 16;

// Gaps are filled in whole packets: the engine captures in periods, so a real gap is whole packets, and
// rounding takes out timestamp jitter of up to half a packet. A gap of this many packets or fewer is
// jitter, not silence, unless the engine flags a discontinuity (then one packet is a loss).
constexpr std::uint64_t kToleratedPackets = 2;
// ...and never less than the buffer the client asks for (kBufferMilliseconds): with packets of a few
// frames, two packets are microseconds, less than the time between taking the clock at Start and the
// engine's own start.

// How far real engines' stamps wander either way, at most: 4 ms is common.
constexpr std::uint64_t kStampWanderTicks = 45000;  // 4.5 ms
// A packet at least this long (twice the wander), whose stamp lies a whole packet or more ahead of the
// stream's time, is out of line. Once, that is still a stamp out of line; when the next packet stays ahead
// too (more than a quarter of a packet, and the two leads come to a whole packet less the wander on
// average), packets were lost without a flag (a process-loopback client gives no device positions to show
// it), and the lead is a gap however small. Shorter packets leave it to the tolerance.
constexpr std::uint64_t kLeadPacketTicks = 2 * kStampWanderTicks;

// Stamps further than this from the counter when they are handed out are on a wrong base (some machines'
// engines stamp so): packets are handed out within a period or two of their first frame.
constexpr std::uint64_t kWrongBaseTicks = 5000000;  // 500 ms
// The first packets judge the stamps: this many in a row on a wrong base, and the stream counts frames
// instead and fills quiet by the counter; one packet on the right base, and the stamps are trusted.
constexpr std::uint32_t kWrongBasePackets = 3;

// kMaxGapTicks in frames of `format`.
constexpr std::uint64_t maxGapFrames(const StreamFormat& format) {
    return format.framesFromTicksDown(kMaxGapTicks);
}

class Timeline {
  public:
    // `start`: the clock when capture started. Frame 0 stands for it until the first packet, which becomes
    // the reference unless it comes after a gap. Frames are counted in `format`'s rate.
    explicit Timeline(std::uint64_t start, const StreamFormat& format = kDefaultFormat);

    // The zero frames to write before a packet of `frames` at `devicePosition` on the engine's sample
    // clock, stamped `position`, with the engine's `flags`, taken at `now`; the packet and those frames
    // count as written. A device position that continues exactly from the packet before says nothing is
    // missing, whatever the stamp says; otherwise (0, not advancing, or a jump) the stamp decides.
    std::uint64_t framesBeforePacket(std::uint64_t devicePosition, std::uint64_t position,
                                     std::uint32_t frames, std::uint32_t flags, std::uint64_t now);

    // Whether the zeros the last framesBeforePacket gave stand for audio lost (a flagged discontinuity, or
    // packets lost without a flag), rather than time in which nothing played.
    bool lastZerosLost() const { return m_lastZerosLost; }

    // False once the first packets showed stamps on a wrong base: the stream then counts frames.
    bool trustsStamps() const { return m_stamps != Stamps::WrongBase; }

    // The zero frames to write at `now` while the engine delivers nothing; they count as written.
    std::uint64_t framesWhileQuiet(std::uint64_t now);

    // The time the next frame written stands for.
    std::uint64_t streamTime() const;

  private:
    // Judges the stamps on the first packets; true while they are to be followed.
    bool judgeStamps(std::uint64_t position, std::uint64_t now);
    void restartAt(std::uint64_t time, std::uint64_t framesWritten);
    // Counts a packet of `frames` stamped `position` that continues the stream, and follows its stamp.
    void follow(std::uint64_t position, std::uint64_t frames);

    StreamFormat m_format;
    std::uint64_t m_toleratedFrames;
    std::uint64_t m_maxGapFrames;
    std::uint64_t m_reference;
    std::uint64_t m_framesSinceReference = 0;
    std::uint32_t m_packetFrames;
    std::uint64_t m_nextDevicePosition = 0;  // where a packet continuing the last one starts
    bool m_sawPacket = false;
    // How far ahead the packet before lay, when it was a whole packet or more and was written as it was.
    std::uint64_t m_aheadTicks = 0;
    bool m_lastZerosLost = false;
    bool m_quietBefore = false;  // a whole wait passed without a packet since the last one
    enum class Stamps { Unjudged, Trusted, WrongBase };
    Stamps m_stamps = Stamps::Unjudged;
    std::uint32_t m_wrongBasePackets = 0;
};

}  // namespace stream
