// Checks the bytes read back on a looped-back port against what was written.
//
// The expected stream is a list of segments in write order. Bytes the driver
// reported as accepted must come back; bytes of a chunk whose write failed
// without an answer may or may not have reached the bridge, so they come back
// whole or not at all. The check follows every reading of the stream that the
// bytes so far allow, so an application that writes such a chunk again is
// judged correctly whichever way it went, and no byte is ever taken as
// matching that was not written at that point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace demo {

class LoopbackCheck {
public:
    // Bytes the driver reported as accepted, in write order.
    void ExpectAccepted(const uint8_t* data, size_t length);
    // A chunk the bridge may have taken although the write failed.
    void ExpectPossibly(const uint8_t* data, size_t length);

    // Checks bytes read back. Returns false at the first byte no reading of
    // the stream allows; that byte's offset within `data` is in MismatchAt().
    bool Feed(const uint8_t* data, size_t length);
    size_t MismatchAt() const { return FirstMismatch; }

    // Accepted bytes not read back yet, by the reading that has read the most.
    uint64_t Outstanding() const;
    // Bytes of possibly-taken chunks that did come back (on the reading that
    // has read the most).
    uint64_t PossiblyTakenDelivered() const;
    uint64_t BytesRead() const { return ReadTotal; }

private:
    struct Segment {
        std::vector<uint8_t> Bytes;
        bool Optional;
        uint64_t AcceptedBefore;  // accepted bytes in every earlier segment
    };
    struct Reading {
        uint64_t Segment;         // absolute index
        size_t Offset;
        uint64_t OptionalRead;
        bool operator==(const Reading& other) const
        {
            return Segment == other.Segment && Offset == other.Offset;
        }
    };

    void Append(const uint8_t* data, size_t length, bool optional);
    const Segment& At(uint64_t index) const { return Segments[index - FirstSegment]; }
    uint64_t SegmentEnd() const { return FirstSegment + Segments.size(); }
    // Adds the reading and every reading that skips optional segments from it.
    void AddWithSkips(std::vector<Reading>& readings, Reading reading) const;
    uint64_t OutstandingFor(const Reading& reading) const;
    void DropConsumedSegments();

    std::deque<Segment> Segments;
    uint64_t FirstSegment = 0;
    uint64_t AcceptedTotal = 0;
    std::vector<Reading> Readings{Reading{0, 0, 0}};
    uint64_t ReadTotal = 0;
    size_t FirstMismatch = 0;
};

} // namespace demo
