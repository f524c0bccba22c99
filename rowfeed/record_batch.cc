#include "rowfeed/record_batch.h"

#include <zlib.h>

#include <array>
#include <cstring>
#include <stdexcept>

namespace qz::rowfeed {
namespace {

constexpr int8_t kMagic = 2;
constexpr int16_t kGzip = 1;  // attributes: compression in the low three bits
// Offsets within the batch header, as the format fixes them.
constexpr size_t kLengthAt = 8;        // after baseOffset
constexpr size_t kCrcAt = 17;          // after partitionLeaderEpoch and magic
constexpr size_t kAttributesAt = 21;   // the checksum covers from here to the end
constexpr size_t kHeaderSize = 61;

// Slicing-by-8 tables of the reflected Castagnoli polynomial.
struct Crc32cTables {
  uint32_t t[8][256];
  Crc32cTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
  }
};

const Crc32cTables& tables() {
  static const Crc32cTables built;
  return built;
}

void put_int(std::string& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

void set_int(std::string& out, size_t at, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out[at + (bytes - 1 - i)] = static_cast<char>((v >> (8 * i)) & 0xff);
}

// Zig-zag varint, as the record layout encodes its lengths and deltas.
void put_varint(std::string& out, int64_t v) {
  uint64_t z = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
  while (z >= 0x80) {
    out.push_back(static_cast<char>((z & 0x7f) | 0x80));
    z >>= 7;
  }
  out.push_back(static_cast<char>(z));
}

size_t varint_size(int64_t v) {
  uint64_t z = (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63);
  size_t n = 1;
  while (z >= 0x80) {
    z >>= 7;
    ++n;
  }
  return n;
}

// The records as the batch carries them before compression: each its length,
// no attributes, timestamp delta 0, its offset delta, a null key, its value,
// no headers.
std::string plain_records(const std::vector<std::string_view>& values) {
  size_t total = 0;
  for (std::string_view v : values) total += v.size() + 24;
  std::string out;
  out.reserve(total);
  int64_t delta = 0;
  for (std::string_view value : values) {
    const int64_t size = static_cast<int64_t>(value.size());
    const int64_t body = 1 + 1 + static_cast<int64_t>(varint_size(delta)) + 1 +
                         static_cast<int64_t>(varint_size(size)) + size + 1;
    put_varint(out, body);
    out.push_back(0);      // attributes
    put_varint(out, 0);    // timestamp delta
    put_varint(out, delta);
    put_varint(out, -1);   // key: null
    put_varint(out, size);
    out.append(value.data(), value.size());
    put_varint(out, 0);    // headers
    ++delta;
  }
  return out;
}

// One gzip member of `in`, appended to `out`.
void append_gzip(std::string& out, const std::string& in) {
  z_stream z;
  std::memset(&z, 0, sizeof z);
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::bad_alloc();
  const size_t start = out.size();
  out.resize(start + deflateBound(&z, in.size()));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(&out[start]);
  z.avail_out = static_cast<uInt>(out.size() - start);
  const int done = deflate(&z, Z_FINISH);
  const size_t written = z.total_out;
  deflateEnd(&z);
  if (done != Z_STREAM_END) throw std::runtime_error("gzip of a record batch did not finish");
  out.resize(start + written);
}

}  // namespace

uint32_t crc32c(const void* data, size_t size, uint32_t crc) {
  const auto& t = tables().t;
  const auto* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  while (size >= 8) {
    uint32_t lo = crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                         uint32_t(p[3]) << 24);
    crc = t[7][lo & 0xff] ^ t[6][(lo >> 8) & 0xff] ^ t[5][(lo >> 16) & 0xff] ^ t[4][lo >> 24] ^
          t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    size -= 8;
  }
  while (size--) crc = t[0][(crc ^ *p++) & 0xff] ^ (crc >> 8);
  return ~crc;
}

std::string gzip_record_batch(const std::vector<std::string_view>& values, int64_t timestamp_ms) {
  if (values.empty()) throw std::invalid_argument("a record batch holds at least one record");
  if (values.size() > static_cast<size_t>(INT32_MAX))
    throw std::invalid_argument("a record batch holds at most 2^31-1 records");
  std::string batch;
  batch.reserve(kHeaderSize + 64);
  put_int(batch, 0, 8);                     // baseOffset
  put_int(batch, 0, 4);                     // batchLength, set below
  put_int(batch, uint32_t(-1), 4);          // partitionLeaderEpoch: none
  batch.push_back(kMagic);
  put_int(batch, 0, 4);                     // crc, set below
  put_int(batch, uint16_t(kGzip), 2);       // attributes: gzip, create time
  put_int(batch, values.size() - 1, 4);     // lastOffsetDelta
  put_int(batch, uint64_t(timestamp_ms), 8);  // baseTimestamp
  put_int(batch, uint64_t(timestamp_ms), 8);  // maxTimestamp
  put_int(batch, uint64_t(-1), 8);          // producerId: not idempotent
  put_int(batch, uint16_t(-1), 2);          // producerEpoch
  put_int(batch, uint32_t(-1), 4);          // baseSequence
  put_int(batch, values.size(), 4);         // records count
  append_gzip(batch, plain_records(values));
  if (batch.size() - kLengthAt - 4 > static_cast<size_t>(INT32_MAX))
    throw std::length_error("a record batch over 2 GiB");
  set_int(batch, kLengthAt, batch.size() - kLengthAt - 4, 4);
  set_int(batch, kCrcAt, crc32c(batch.data() + kAttributesAt, batch.size() - kAttributesAt), 4);
  return batch;
}

}  // namespace qz::rowfeed
