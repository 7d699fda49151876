// The log codec: CRC-32, record payloads, frames, the header, and the
// buffered reader and writer they travel through.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <random>

#include "log_io/buffered_io.h"
#include "log_io/crc32.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/record.h"
#include "test_util.h"

// Largest single heap request while tracking is on, to show that a frame
// announcing an oversized payload is refused before anything is allocated.
namespace {
std::atomic<bool> g_track_allocations{false};
std::atomic<size_t> g_largest_allocation{0};
}  // namespace

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (g_track_allocations.load(std::memory_order_relaxed)) {
    size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
    while (n > seen && !g_largest_allocation.compare_exchange_weak(seen, n)) {
    }
  }
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace tarnwick::testing {
namespace {

// The 21-byte frame of ACK seq 1 and the 35-byte frame of ENQUEUE seq 1,
// ts 1700000000000, body "hi".
const Bytes kAckFrame = {0x54, 0x57, 0x52, 0x31, 0x09, 0x00, 0x00, 0x00, 0xB6, 0x3C, 0x55,
                         0x04, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kEnqueueFrame = {0x54, 0x57, 0x52, 0x31, 0x17, 0x00, 0x00, 0x00, 0xC0,
                             0x70, 0x70, 0x95, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x00, 0x00, 0x68, 0xE5, 0xCF, 0x8B, 0x01,
                             0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x68, 0x69};

Bytes random_bytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Bit-at-a-time CRC-32 (IEEE, reflected), independent of the engine's tables.
uint32_t crc32_bitwise(const uint8_t* p, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

TEST(Crc32, StandardCheckValueAndEmptyInput) {
  const Bytes check = bytes_of("123456789");
  EXPECT_EQ(crc32(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(crc32_bytewise(check.data(), check.size()), 0xCBF43926u);
  EXPECT_EQ(crc32(nullptr, 0), 0u);
  EXPECT_EQ(crc32_bytewise(nullptr, 0), 0u);
}

TEST(Crc32, FastFormMatchesBytewiseAndBitwiseOnRandomInputs) {
  std::mt19937 rng(7);
  const Bytes data = random_bytes(rng, 70000);
  // Every length over several 256-byte strides at every alignment (folding
  // starts at 64 bytes, four blocks to an instruction at 256 where the
  // processor has it), then some long runs.
  for (size_t start = 0; start < 16; ++start) {
    for (size_t len = 0; len <= 600; ++len) {
      const uint8_t* p = data.data() + start;
      const uint32_t want = crc32_bitwise(p, len);
      ASSERT_EQ(crc32_bytewise(p, len), want) << "start " << start << " len " << len;
      ASSERT_EQ(crc32(p, len), want) << "start " << start << " len " << len;
    }
  }
  for (size_t len : {1023u, 4096u, 65537u, 69990u}) {
    EXPECT_EQ(crc32(data.data() + 3, len), crc32_bitwise(data.data() + 3, len)) << len;
  }
}

// Continuing a CRC over a second part gives the CRC of the whole, whichever
// form (bytewise tail, folding) each part takes.
TEST(Crc32, ExtendingOverASecondPartEqualsTheWhole) {
  std::mt19937 rng(11);
  const Bytes data = random_bytes(rng, 70000);
  for (size_t split : {0u, 1u, 21u, 63u, 64u, 200u, 4096u, 69999u, 70000u}) {
    const uint32_t head = crc32(data.data(), split);
    EXPECT_EQ(crc32_extend(head, data.data() + split, data.size() - split),
              crc32_bitwise(data.data(), data.size()))
        << split;
  }
}

// --- record payloads ---

TEST(RecordCodec, EveryKindRoundTripsAtItsExactSize) {
  const Bytes big(1000, 0xAB);
  const std::vector<std::pair<Record, size_t>> cases = {
      {EnqueueRecord{1, 1700000000000, bytes_of("hi")}, 23},
      {EnqueueRecord{0, 0, {}}, 21},
      {EnqueueRecord{UINT64_MAX, UINT64_MAX, big}, 1021},
      {AckRecord{0x0102030405060708}, 9},
      {LeaseRecord{5, 0x1122334455667788, 0xFFFFFFFF}, 21},
      {RequeueRecord{UINT64_MAX, 0x80000001}, 13},
      {DeadRecord{42}, 9},
  };
  for (const auto& [record, size] : cases) {
    SCOPED_TRACE(::testing::Message() << "kind index " << record.index() << " size " << size);
    const Bytes payload = encode(record);
    ASSERT_EQ(payload.size(), size);
    EXPECT_EQ(encoded_size(record), size);
    auto decoded = decode(payload);
    ASSERT_TRUE(std::holds_alternative<Record>(decoded)) << std::get<std::string>(decoded);
    EXPECT_TRUE(std::get<Record>(decoded) == record);
    // Bytes beyond the kind's fields are ignored.
    Bytes padded = payload;
    padded.insert(padded.end(), {0xEE, 0xEE, 0xEE});
    auto decoded_padded = decode(padded);
    ASSERT_TRUE(std::holds_alternative<Record>(decoded_padded));
    EXPECT_TRUE(std::get<Record>(decoded_padded) == record);
  }
}

TEST(RecordCodec, FieldsSitAtTheirLittleEndianOffsets) {
  EXPECT_EQ(encode(AckRecord{1}), Bytes(kAckFrame.begin() + 12, kAckFrame.end()));
  EXPECT_EQ(encode(EnqueueRecord{1, 1700000000000, bytes_of("hi")}),
            Bytes(kEnqueueFrame.begin() + 12, kEnqueueFrame.end()));
  EXPECT_EQ(encode(LeaseRecord{0x0102, 0x0304, 0x05060708}),
            (Bytes{3, 0x02, 0x01, 0, 0, 0, 0, 0, 0, 0x04, 0x03, 0, 0, 0, 0, 0, 0, 0x08, 0x07,
                   0x06, 0x05}));
  EXPECT_EQ(encode(RequeueRecord{9, 0x01020304}),
            (Bytes{4, 9, 0, 0, 0, 0, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(encode(DeadRecord{0x7F}), (Bytes{5, 0x7F, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(RecordCodec, DecodeFailuresNameTheFirstProblem) {
  auto with_tag = [](uint8_t tag, size_t n) {
    Bytes p(n, 0);
    p[0] = tag;
    return p;
  };
  Bytes enqueue_short_body = with_tag(ENQUEUE, 21);
  enqueue_short_body[17] = 1;  // body_len 1, no body byte
  Bytes enqueue_huge_len = with_tag(ENQUEUE, 25);
  for (int i = 17; i < 21; ++i) enqueue_huge_len[i] = 0xFF;
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "empty record"},
      {{0}, "unknown record type 0"},
      {{13}, "unknown record type 13"},
      {{14, 1, 2, 3, 4, 5, 6, 7, 8, 9}, "unknown record type 14"},
      {{255}, "unknown record type 255"},
      {with_tag(ENQUEUE, 1), "short u64 field"},
      {with_tag(ENQUEUE, 9), "short u64 field"},
      {with_tag(ENQUEUE, 16), "short u64 field"},
      {with_tag(ENQUEUE, 17), "short u32 field"},
      {with_tag(ENQUEUE, 20), "short u32 field"},
      {enqueue_short_body, "short body"},
      {enqueue_huge_len, "short body"},
      {with_tag(ACK, 8), "short u64 field"},
      {with_tag(DEAD, 1), "short u64 field"},
      {with_tag(LEASE, 1), "short u64 field"},
      {with_tag(LEASE, 9), "short u64 field"},
      {with_tag(LEASE, 16), "short u64 field"},
      {with_tag(LEASE, 20), "short u32 field"},
      {with_tag(REQUEUE, 8), "short u64 field"},
      {with_tag(REQUEUE, 9), "short u32 field"},
      {with_tag(REQUEUE, 12), "short u32 field"},
  };
  for (const auto& [payload, message] : cases) {
    auto decoded = decode(payload);
    ASSERT_TRUE(std::holds_alternative<std::string>(decoded))
        << "payload of " << payload.size() << " bytes decoded; expected " << message;
    EXPECT_EQ(std::get<std::string>(decoded), message) << "payload of " << payload.size();
  }
  // The shortest payloads that do decode.
  for (const auto& [tag, n] : std::vector<std::pair<uint8_t, size_t>>{
           {ENQUEUE, 21}, {ACK, 9}, {LEASE, 21}, {REQUEUE, 13}, {DEAD, 9}}) {
    EXPECT_TRUE(std::holds_alternative<Record>(decode(with_tag(tag, n)))) << int(tag);
  }
}

TEST(RecordCodec, WriteHeaderPutsMagicVersionAndGeneration) {
  TempDir dir;
  const std::string path = dir.file("log");
  {
    auto fd = sys::open(path, O_RDWR | O_CREAT);
    ASSERT_TRUE(fd.ok());
    ASSERT_TRUE(write_header(fd->get(), 0).ok());
    ASSERT_TRUE(write_header(fd->get(), 0x0102030405060708).ok());
    FaultScope faults;
    faults.fail(sys::Call::kWrite, EIO);
    Status failed = write_header(fd->get(), 3);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().os_code(), EIO);
  }
  EXPECT_EQ(read_file(path), (Bytes{'T', 'W', 'F', 'L', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                    'T', 'W', 'F', 'L', 1, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}));
}

// --- frames ---

Bytes frame_header(uint32_t length, uint32_t crc) {
  Bytes h = {'T', 'W', 'R', '1'};
  for (int i = 0; i < 4; ++i) h.push_back(uint8_t(length >> (8 * i)));
  for (int i = 0; i < 4; ++i) h.push_back(uint8_t(crc >> (8 * i)));
  return h;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string describe(const Result<FrameRead>& r) {
  if (!r.ok()) return "error: " + r.error().text();
  switch (r.value().kind) {
    case FrameRead::kEof: return "eof";
    case FrameRead::kCorrupt: return "corrupt: " + r.value().message;
    case FrameRead::kFrame: break;
  }
  const FrameRead& f = r.value();
  std::string out = "frame " + std::to_string(f.frame_len);
  if (f.payload.size() + FRAME_HEADER_LEN != f.frame_len) out += " (payload size mismatch)";
  return out;
}

// Reads every outcome up to and including the first non-frame, through the
// file reader or the in-memory reader.
class FrameSource {
 public:
  FrameSource(const Bytes& bytes, bool from_file) : bytes_(bytes) {
    if (!from_file) {
      memory_.emplace(std::span<const uint8_t>(bytes_));
      return;
    }
    write_file(dir_.file("frames"), bytes_);
    auto fd = sys::open(dir_.file("frames"), O_RDONLY);
    if (fd.ok()) fd_ = std::move(fd).value();
    file_.emplace(fd_.get());
  }
  Result<FrameRead> next() {
    return file_ ? read_record_frame(*file_) : read_record_frame(*memory_);
  }

 private:
  Bytes bytes_;
  TempDir dir_;
  UniqueFd fd_;
  std::optional<BufferedReader> file_;
  std::optional<MemoryReader> memory_;
};

class FrameReader : public ::testing::TestWithParam<bool> {};

TEST_P(FrameReader, EachOutcomeOfOneFrame) {
  auto flipped = [](Bytes b, size_t at, uint8_t bit) {
    b[at] ^= bit;
    return b;
  };
  const Bytes ack_torn(kAckFrame.begin(), kAckFrame.end() - 1);
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {{}, "eof"},
      {Bytes(kAckFrame.begin(), kAckFrame.begin() + 5), "corrupt: truncated record header"},
      {Bytes(kAckFrame.begin(), kAckFrame.begin() + 11), "corrupt: truncated record header"},
      {concat(frame_header(10, 0), {1, 2, 3, 4}), "corrupt: truncated record payload"},
      {ack_torn, "corrupt: truncated record payload"},
      {flipped(kAckFrame, 0, 0x01), "corrupt: bad record magic"},
      {flipped(kAckFrame, 3, 0x80), "corrupt: bad record magic"},
      {frame_header(536870913, 0), "corrupt: record length 536870913 exceeds max 536870912"},
      {frame_header(0xFFFFFFFF, 0), "corrupt: record length 4294967295 exceeds max 536870912"},
      {frame_header(536870912, 0), "corrupt: truncated record payload"},
      {flipped(kAckFrame, 17, 0x10), "corrupt: record CRC mismatch (silent corruption)"},
      {flipped(kAckFrame, 9, 0x01), "corrupt: record CRC mismatch (silent corruption)"},
      {frame_header(0, 0), "frame 12"},
      {frame_header(0, 1), "corrupt: record CRC mismatch (silent corruption)"},
      {kAckFrame, "frame 21"},
      {kEnqueueFrame, "frame 35"},
      {concat(kAckFrame, {'T', 'W'}), "frame 21"},
  };
  for (const auto& [input, want] : cases) {
    FrameSource source(input, GetParam());
    EXPECT_EQ(describe(source.next()), want) << "input of " << input.size() << " bytes";
  }
}

TEST_P(FrameReader, OversizedLengthIsRefusedBeforeAllocating) {
  for (uint32_t length : {536870913u, 0xFFFFFFFFu}) {
    FrameSource source(frame_header(length, 0), GetParam());
    g_largest_allocation = 0;
    g_track_allocations = true;
    Result<FrameRead> r = source.next();
    g_track_allocations = false;
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().kind, FrameRead::kCorrupt);
    EXPECT_LT(g_largest_allocation.load(), 4096u) << length;
  }
}

// A payload of several MiB is read into a buffer no larger than itself.
TEST_P(FrameReader, PayloadBufferIsNoLargerThanThePayload) {
  std::mt19937 rng(5);
  const Bytes payload = random_bytes(rng, (3u << 20) + 5);
  FrameSource source(concat(frame_header(static_cast<uint32_t>(payload.size()),
                                         crc32(payload.data(), payload.size())),
                            payload),
                     GetParam());
  g_largest_allocation = 0;
  g_track_allocations = true;
  Result<FrameRead> r = source.next();
  g_track_allocations = false;
  ASSERT_EQ(describe(r), "frame " + std::to_string(payload.size() + 12));
  EXPECT_TRUE(r.value().payload == payload);
  EXPECT_LE(g_largest_allocation.load(), payload.size());
}

TEST_P(FrameReader, ReadsBackWhatTheWriterWroteAcrossBufferSizes) {
  std::mt19937 rng(11);
  const std::vector<size_t> sizes = {0, 9, 1, 8191, 8192, 8193, 20000, 5, 3 * 8192, 100};
  TempDir dir;
  const std::string path = dir.file("log");
  std::vector<Bytes> payloads;
  {
    auto fd = sys::open(path, O_WRONLY | O_CREAT | O_APPEND);
    ASSERT_TRUE(fd.ok());
    BufferedWriter writer(fd->get());
    Bytes scratch;
    for (size_t n : sizes) {
      payloads.push_back(random_bytes(rng, n));
      auto written = write_record_frame(writer, scratch, payloads.back());
      ASSERT_TRUE(written.ok());
      EXPECT_EQ(*written, n + 12);
    }
    ASSERT_TRUE(writer.flush().ok());
  }
  const Bytes file = read_file(path);
  FrameSource source(file, GetParam());
  for (const Bytes& want : payloads) {
    auto r = source.next();
    ASSERT_EQ(describe(r), "frame " + std::to_string(want.size() + 12));
    EXPECT_TRUE(r.value().payload == want) << "payload of " << want.size() << " bytes differs";
  }
  EXPECT_EQ(describe(source.next()), "eof");
  EXPECT_EQ(describe(source.next()), "eof");
}

INSTANTIATE_TEST_SUITE_P(Readers, FrameReader, ::testing::Values(true, false),
                         [](const auto& p) { return p.param ? "File" : "Memory"; });

TEST(FrameReaderFile, ReadErrorIsReturnedNotReportedAsDamage) {
  FrameSource source(kAckFrame, true);
  FaultScope faults;
  faults.fail(sys::Call::kRead, EIO);
  auto r = source.next();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().os_code(), EIO);
}

// A file and a writer with a small buffer over it.
struct WriterFixture {
  explicit WriterFixture(size_t capacity) {
    auto opened = sys::open(dir.file("out"), O_WRONLY | O_CREAT | O_APPEND);
    if (opened.ok()) fd = std::move(opened).value();
    writer.emplace(fd.get(), capacity);
  }
  Bytes contents() const { return read_file(dir.file("out")); }
  TempDir dir;
  UniqueFd fd;
  std::optional<BufferedWriter> writer;
};

TEST(FrameWriter, NinePayloadBytesBecomeTheAckFrame) {
  WriterFixture f(kIoBufferSize);
  Bytes scratch(100, 0xCC);  // old contents are discarded
  auto written = write_record_frame(*f.writer, scratch, encode(AckRecord{1}));
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, 21u);
  EXPECT_EQ(f.writer->buffered(), 21u);
  EXPECT_TRUE(f.contents().empty()) << "write_record_frame must not flush";
  ASSERT_TRUE(f.writer->flush().ok());
  EXPECT_EQ(f.contents(), kAckFrame);

  ASSERT_TRUE(write_record_frame(*f.writer, scratch,
                                 encode(EnqueueRecord{1, 1700000000000, bytes_of("hi")}))
                  .ok());
  ASSERT_TRUE(f.writer->flush().ok());
  EXPECT_EQ(f.contents(), concat(kAckFrame, kEnqueueFrame));
}

TEST(BufferedWriter, TakesEachPieceAsOneUnit) {
  WriterFixture f(16);
  BufferedWriter& w = *f.writer;
  const Bytes a(10, 'a'), b(6, 'b'), c(8, 'c'), d(16, 'd'), e(3, 'e'), g(40, 'g');
  CallCounter writes(sys::Call::kWrite);

  ASSERT_TRUE(w.write_all(a).ok());  // fits: buffered
  ASSERT_TRUE(w.write_all(b).ok());  // exactly fills the spare room: buffered
  EXPECT_EQ(w.buffered(), 16u);
  EXPECT_EQ(writes.count(), 0u);

  ASSERT_TRUE(w.write_all(c).ok());  // does not fit: buffer out first, then c buffered
  EXPECT_EQ(writes.count(), 1u);
  EXPECT_EQ(w.buffered(), 8u);
  EXPECT_EQ(f.contents(), concat(a, b));

  ASSERT_TRUE(w.write_all(d).ok());  // as large as the buffer: c out, then d straight through
  EXPECT_EQ(writes.count(), 3u);
  EXPECT_EQ(w.buffered(), 0u);
  EXPECT_EQ(f.contents(), concat(concat(concat(a, b), c), d));

  ASSERT_TRUE(w.write_all(g).ok());  // empty buffer, large piece: one write
  EXPECT_EQ(writes.count(), 4u);
  ASSERT_TRUE(w.write_all(e).ok());
  ASSERT_TRUE(w.flush().ok());
  ASSERT_TRUE(w.flush().ok());  // nothing left: no write
  EXPECT_EQ(writes.count(), 5u);
  EXPECT_EQ(f.contents(), concat(concat(concat(concat(concat(a, b), c), d), g), e));
}

// After a failed write the writer holds nothing of the failed data, so only
// what the operating system took before failing can precede a later piece.
TEST(BufferedWriter, FailedFlushDropsTheBuffer) {
  WriterFixture f(16);
  const Bytes a(10, 'a'), later = bytes_of("later");
  ASSERT_TRUE(f.writer->write_all(a).ok());
  {
    FaultScope faults;
    faults.fail(sys::Call::kWrite, ENOSPC, 0, 1, 3);
    Status s = f.writer->flush();
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().os_code(), ENOSPC);
  }
  EXPECT_EQ(f.writer->buffered(), 0u);
  ASSERT_TRUE(f.writer->write_all(later).ok());
  ASSERT_TRUE(f.writer->flush().ok());
  EXPECT_EQ(f.contents(), concat(Bytes(3, 'a'), later));
}

TEST(BufferedWriter, FailureWhileMakingRoomDropsBothPieces) {
  const Bytes a(10, 'a'), later = bytes_of("later");
  for (const Bytes& piece : {Bytes(8, 'b'), Bytes(30, 'b')}) {  // buffered or straight through
    WriterFixture f(16);
    ASSERT_TRUE(f.writer->write_all(a).ok());
    {
      FaultScope faults;
      faults.fail(sys::Call::kWrite, EIO);
      EXPECT_FALSE(f.writer->write_all(piece).ok());
    }
    EXPECT_EQ(f.writer->buffered(), 0u);
    ASSERT_TRUE(f.writer->write_all(later).ok());
    ASSERT_TRUE(f.writer->flush().ok());
    EXPECT_EQ(f.contents(), later) << "piece of " << piece.size();
  }
}

TEST(BufferedWriter, FailedStraightThroughWriteLeavesOnlyItsOwnPartialBytes) {
  WriterFixture f(16);
  const Bytes a(10, 'a'), big(30, 'b'), later = bytes_of("later");
  ASSERT_TRUE(f.writer->write_all(a).ok());
  {
    FaultScope faults;
    faults.fail(sys::Call::kWrite, EIO, /*skip=*/1, 1, /*partial_bytes=*/7);
    EXPECT_FALSE(f.writer->write_all(big).ok());
  }
  EXPECT_EQ(f.writer->buffered(), 0u);
  ASSERT_TRUE(f.writer->write_all(later).ok());
  ASSERT_TRUE(f.writer->flush().ok());
  EXPECT_EQ(f.contents(), concat(concat(a, Bytes(7, 'b')), later));
}

TEST(BufferedReader, LargeReadsIntoAnEmptyBufferBypassIt) {
  TempDir dir;
  std::mt19937 rng(3);
  const Bytes data = random_bytes(rng, 3 * kIoBufferSize);
  write_file(dir.file("in"), data);
  auto fd = sys::open(dir.file("in"), O_RDONLY);
  ASSERT_TRUE(fd.ok());
  BufferedReader reader(fd->get());
  CallCounter reads(sys::Call::kRead);
  Bytes got(data.size());

  auto r = reader.read(got.data(), kIoBufferSize + 100);  // empty buffer: straight into dest
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, kIoBufferSize + 100);
  EXPECT_EQ(reads.count(), 1u);
  size_t at = *r;

  r = reader.read(got.data() + at, 10);  // fills the buffer with one read
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 10u);
  EXPECT_EQ(reads.count(), 2u);
  at += *r;

  r = reader.read(got.data() + at, 2 * kIoBufferSize);  // served from the buffer only
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, kIoBufferSize - 10);
  EXPECT_EQ(reads.count(), 2u);
  at += *r;

  while (at < got.size()) {
    r = reader.read(got.data() + at, got.size() - at);
    ASSERT_TRUE(r.ok());
    ASSERT_GT(*r, 0u);
    at += *r;
  }
  EXPECT_EQ(got, data);
  r = reader.read(got.data(), 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, 0u);
}

TEST(BufferedReader, FullOrEofOutcomes) {
  TempDir dir;
  write_file(dir.file("in"), bytes_of("0123456789"));
  auto fd = sys::open(dir.file("in"), O_RDONLY);
  ASSERT_TRUE(fd.ok());
  BufferedReader reader(fd->get(), 4);  // several reads per request
  uint8_t buf[16] = {};
  CallCounter reads(sys::Call::kRead);

  auto r = read_full_or_eof(reader, buf, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadFill::kFull);
  EXPECT_EQ(reads.count(), 0u);

  r = read_full_or_eof(reader, buf, 7);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadFill::kFull);
  EXPECT_EQ(std::string(buf, buf + 7), "0123456");

  r = read_full_or_eof(reader, buf, 5);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadFill::kShort);
  EXPECT_EQ(std::string(buf, buf + 3), "789");

  r = read_full_or_eof(reader, buf, 5);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, ReadFill::kEof);
}

}  // namespace
}  // namespace tarnwick::testing
