// delta.h: one snapshot's bytes as a difference from another's, through
// zstd with the other as its reference prefix (long-distance matching, a
// window that spans both). A host sends a snapshot so, and the collector
// keeps its older snapshots so. Snapshots are frames sorted by path and not
// compressed: a night that changed one record makes a difference of a few
// hundred bytes.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Sets *out to target as a difference from ref: one zstd frame that states
// target's size. False, with *err, when zstd fails (out of memory).
bool delta_make(std::string_view ref, std::string_view target, std::string *out,
                std::string *err);

// Rebuilds into *out the snapshot that the difference d makes from ref,
// which must be exactly size bytes: the output is never larger. False,
// with *err saying what is wrong (no byte of it printable but as read),
// when d is not one whole zstd frame, states no size or another one, is
// damaged, or when size bytes cannot be had.
bool delta_apply(std::string_view ref, std::string_view d, uint64_t size,
                 std::string *out, std::string *err);

// The size of what the difference d makes, as it states it: false when it
// states none.
bool delta_size(std::string_view d, uint64_t *size);
