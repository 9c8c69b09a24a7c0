#include "tools/demo/loopback_check.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace demo {

void LoopbackCheck::ExpectAccepted(const uint8_t* data, size_t length) { Append(data, length, false); }

void LoopbackCheck::ExpectPossibly(const uint8_t* data, size_t length) { Append(data, length, true); }

void LoopbackCheck::Append(const uint8_t* data, size_t length, bool optional)
{
    if (length == 0) {
        return;
    }
    Segments.push_back(Segment{std::vector<uint8_t>(data, data + length), optional, AcceptedTotal});
    if (!optional) {
        AcceptedTotal += length;
    }
}

void LoopbackCheck::AddWithSkips(std::vector<Reading>& readings, Reading reading) const
{
    for (;;) {
        if (std::find(readings.begin(), readings.end(), reading) == readings.end()) {
            readings.push_back(reading);
        }
        if (reading.Segment >= SegmentEnd() || reading.Offset != 0 || !At(reading.Segment).Optional) {
            return;
        }
        ++reading.Segment;
    }
}

bool LoopbackCheck::Feed(const uint8_t* data, size_t length)
{
    size_t i = 0;
    std::vector<Reading> candidates;
    std::vector<Reading> next;
    while (i < length) {
        // One reading inside accepted bytes: nothing to choose, compare a run at once.
        if (Readings.size() == 1) {
            Reading& only = Readings.front();
            if (only.Segment < SegmentEnd() && (only.Offset != 0 || !At(only.Segment).Optional)) {
                const Segment& segment = At(only.Segment);
                const size_t run = std::min(length - i, segment.Bytes.size() - only.Offset);
                const uint8_t* expected = segment.Bytes.data() + only.Offset;
                if (std::memcmp(expected, data + i, run) != 0) {
                    size_t bad = 0;
                    while (expected[bad] == data[i + bad]) {
                        ++bad;
                    }
                    ReadTotal += i + bad;
                    FirstMismatch = i + bad;
                    return false;
                }
                if (segment.Optional) {
                    only.OptionalRead += run;
                }
                only.Offset += run;
                if (only.Offset == segment.Bytes.size()) {
                    ++only.Segment;
                    only.Offset = 0;
                    DropConsumedSegments();
                }
                i += run;
                continue;
            }
        }

        candidates.clear();
        for (const Reading& reading : Readings) {
            AddWithSkips(candidates, reading);
        }
        next.clear();
        for (Reading reading : candidates) {
            if (reading.Segment >= SegmentEnd()) {
                continue;  // this reading has everything written so far
            }
            const Segment& segment = At(reading.Segment);
            if (segment.Bytes[reading.Offset] != data[i]) {
                continue;
            }
            if (segment.Optional) {
                ++reading.OptionalRead;
            }
            if (++reading.Offset == segment.Bytes.size()) {
                ++reading.Segment;
                reading.Offset = 0;
            }
            if (std::find(next.begin(), next.end(), reading) == next.end()) {
                next.push_back(reading);
            }
        }
        if (next.empty()) {
            ReadTotal += i;
            FirstMismatch = i;
            return false;
        }
        Readings.swap(next);
        DropConsumedSegments();
        ++i;
    }
    ReadTotal += length;
    return true;
}

uint64_t LoopbackCheck::OutstandingFor(const Reading& reading) const
{
    if (reading.Segment >= SegmentEnd()) {
        return 0;
    }
    const Segment& segment = At(reading.Segment);
    return AcceptedTotal - segment.AcceptedBefore - (segment.Optional ? 0 : reading.Offset);
}

uint64_t LoopbackCheck::Outstanding() const
{
    std::vector<Reading> candidates;
    for (const Reading& reading : Readings) {
        AddWithSkips(candidates, reading);
    }
    uint64_t least = std::numeric_limits<uint64_t>::max();
    for (const Reading& reading : candidates) {
        least = std::min(least, OutstandingFor(reading));
    }
    return least;
}

uint64_t LoopbackCheck::PossiblyTakenDelivered() const
{
    const Reading* best = &Readings.front();
    for (const Reading& reading : Readings) {
        if (OutstandingFor(reading) < OutstandingFor(*best)) {
            best = &reading;
        }
    }
    return best->OptionalRead;
}

void LoopbackCheck::DropConsumedSegments()
{
    uint64_t oldest = std::numeric_limits<uint64_t>::max();
    for (const Reading& reading : Readings) {
        oldest = std::min(oldest, reading.Segment);
    }
    while (FirstSegment < oldest && !Segments.empty()) {
        Segments.pop_front();
        ++FirstSegment;
    }
}

} // namespace demo
