// Kafka's record batch (message format v2, the only one Kafka 4 takes and
// the one every broker since 0.11 stores natively), built in one pass.
//
// The feed publishes rows as records without key or headers, all with the
// batch's own timestamp; the records are gzip-compressed as a whole, so the
// broker stores (and a consumer reads) the batch exactly as it was sent.
// No host objects here: the layout is plain bytes, and its test needs no
// server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz::rowfeed {

// CRC-32C (Castagnoli), the checksum of a v2 batch, continued from `crc`.
uint32_t crc32c(const void* data, size_t size, uint32_t crc = 0);

// A whole batch, from its base offset (0; the broker assigns the real ones)
// to its last record: `values` in order as the values of records 0..n-1,
// `timestamp_ms` their create time. An empty `values` is the caller's error
// (Kafka refuses an empty batch): std::invalid_argument.
std::string gzip_record_batch(const std::vector<std::string_view>& values, int64_t timestamp_ms);

}  // namespace qz::rowfeed
