// The element table of XmlDocument: one record per element, kept in
// segments of 65,536 records. An ElementIndex is the segment number in its
// high 16 bits and the record number in its low 16 bits, so the records are
// numbered consecutively and growing the table never moves a full segment.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "foundation/xmldocument.h"

namespace qm::xml {

enum RecordFlags : uint32_t {
    kFirstChild = 1u << 0,  // the record is its parent's first child
    kNotEnded = 1u << 1,    // a start tag without an end tag (recovered)
    kIllFormed = 1u << 2,   // on the document record: the last parse met an error
    kReleased = 1u << 3,    // the element was removed; the record is never reused
};

struct ElementRecord {
    int32_t start;   // offset of the "<" of the start tag
    int32_t length;  // start tag through end tag; start tag alone when empty or not ended
    // Both tag lengths are full 32-bit fields: a narrower packing would
    // silently truncate long tags and corrupt every later offset.
    uint32_t startTagLength;
    uint32_t endTagLength;  // 0 for an empty-element tag and a not-ended element
    uint32_t flags;
    ElementIndex parent;      // 0 at document level
    ElementIndex firstChild;  // 0 when there are no child elements
    ElementIndex next;        // 0 for the last child
    ElementIndex prev;        // circular: the first child's prev is the last child

    int32_t End() const { return start + length; }
    bool NotEnded() const { return (flags & kNotEnded) != 0; }
    bool IsEmptyElement() const { return endTagLength == 0 && !NotEnded(); }
};

class ElementTable {
public:
    static constexpr uint32_t kSegmentBits = 16;
    static constexpr uint32_t kSegmentSize = 1u << kSegmentBits;
    // The segment number must fit the high half of a positive ElementIndex.
    static constexpr uint32_t kMaxRecords = 0x7FFFu * kSegmentSize;

    // Drops every record and makes room for `expected` records.
    void Reset(uint32_t expected) {
        segments_.clear();
        capacity_ = 0;
        used_ = 0;
        Reserve(expected < 1 ? 1 : expected);
    }

    // Appends a zeroed record; 0 when the table cannot grow any further.
    ElementIndex Add() {
        if (used_ == capacity_) {
            if (used_ >= kMaxRecords)
                return 0;
            uint64_t wanted = uint64_t(used_) + used_ / 2;
            if (wanted <= used_)
                wanted = used_ + 1;
            Reserve(static_cast<uint32_t>(wanted < kMaxRecords ? wanted : kMaxRecords));
        }
        const ElementIndex index = static_cast<ElementIndex>(used_++);
        (*this)[index] = ElementRecord{};
        return index;
    }

    ElementRecord& operator[](ElementIndex index) {
        return segments_[uint32_t(index) >> kSegmentBits].records[uint32_t(index) & 0xFFFF];
    }
    const ElementRecord& operator[](ElementIndex index) const {
        return segments_[uint32_t(index) >> kSegmentBits].records[uint32_t(index) & 0xFFFF];
    }

    uint32_t Used() const { return used_; }
    uint32_t Capacity() const { return capacity_; }
    bool Holds(ElementIndex index) const { return index >= 0 && uint32_t(index) < used_; }

private:
    struct Segment {
        std::unique_ptr<ElementRecord[]> records;
        uint32_t size = 0;
    };

    // Raises the capacity to `total` records: the last, partly allocated
    // segment is enlarged (only it is ever moved), then whole segments follow.
    void Reserve(uint32_t total) {
        if (total > kMaxRecords)
            total = kMaxRecords;
        while (capacity_ < total) {
            const uint32_t missing = total - capacity_;
            if (!segments_.empty() && segments_.back().size < kSegmentSize) {
                Segment& last = segments_.back();
                const uint32_t grown =
                    missing < kSegmentSize - last.size ? last.size + missing : kSegmentSize;
                auto records = std::make_unique_for_overwrite<ElementRecord[]>(grown);
                const uint32_t base = (uint32_t(segments_.size()) - 1) << kSegmentBits;
                const uint32_t inUse = used_ > base ? used_ - base : 0;
                std::copy(last.records.get(), last.records.get() + inUse, records.get());
                capacity_ += grown - last.size;
                last.records = std::move(records);
                last.size = grown;
                continue;
            }
            const uint32_t size = missing < kSegmentSize ? missing : kSegmentSize;
            segments_.push_back({std::make_unique_for_overwrite<ElementRecord[]>(size), size});
            capacity_ += size;
        }
    }

    std::vector<Segment> segments_;
    uint32_t capacity_ = 0;
    uint32_t used_ = 0;
};

}  // namespace qm::xml
