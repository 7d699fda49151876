// Recovery at open: creating a log, refusing what is not one, replaying
// intact frames and cutting a damaged tail; and making directory changes
// durable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cctype>
#include <filesystem>

#include "log_io/durability.h"
#include "log_io/frame.h"
#include "log_io/log_format.h"
#include "log_io/sys.h"
#include "queue/record.h"
#include "queue/recover.h"
#include "test_util.h"

namespace tarnwick::testing {
namespace {

Bytes header(uint64_t generation, uint32_t version = 1) {
  Bytes h = {'T', 'W', 'F', 'L'};
  for (int i = 0; i < 4; ++i) h.push_back(uint8_t(version >> (8 * i)));
  for (int i = 0; i < 8; ++i) h.push_back(uint8_t(generation >> (8 * i)));
  return h;
}

Bytes framed(const Bytes& payload) {
  Bytes f(FRAME_HEADER_LEN + payload.size());
  std::copy(payload.begin(), payload.end(), f.begin() + FRAME_HEADER_LEN);
  seal_frame(f);
  return f;
}

Bytes frame_of(const Record& r) { return framed(encode(r)); }

std::string to_text(const Bytes& b) { return std::string(b.begin(), b.end()); }

// "20261209T023000Z"
bool is_utc_stamp(const std::string& text) {
  if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z') return false;
  for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14}) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const Bytes kFresh = header(0);
// ENQUEUE seq 0 with body "hi": 35 bytes at offset 16, so the next frame is at 51.
const Bytes kFirst = frame_of(EnqueueRecord{0, 1700000000000, bytes_of("hi")});

size_t open_fds() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

// Runs recover with standard error captured.
struct Recovery {
  explicit Recovery(const std::string& path) : result(Error::os(0)) {
    const size_t fds = open_fds();
    ::testing::internal::CaptureStderr();
    result = recover(path);
    warnings = ::testing::internal::GetCapturedStderr();
    leaked_fds = open_fds() - fds;
  }
  Result<Recovered> result;
  std::string warnings;
  size_t leaked_fds = 0;
};

class RecoverTest : public ::testing::Test {
 protected:
  std::string log() const { return dir_.file("queue.log"); }
  TempDir dir_;
};

TEST_F(RecoverTest, MissingFileBecomesAFreshLog) {
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0750), 0);
  const mode_t mask = ::umask(077);
  Recovery run(log());
  ::umask(mask);
  ASSERT_TRUE(run.result.ok()) << run.result.error().text();
  EXPECT_EQ(run.result->generation, 0u);
  EXPECT_EQ(run.result->end_offset, 16u);
  EXPECT_TRUE(run.result->state.messages.empty());
  EXPECT_EQ(run.result->state.next_seq, 0u);
  EXPECT_EQ(read_file(log()), kFresh);
  EXPECT_EQ(std::filesystem::status(log()).permissions(), std::filesystem::perms(0640))
      << "the directory's read and write bits, whatever the umask";
  EXPECT_EQ(run.warnings, "");
  EXPECT_EQ(run.leaked_fds, 0u);
}

// Only what an interrupted header write leaves (nothing, or the start of a
// header as this code writes it) is taken as a new log; any other short file
// holds something else and is refused and left alone.
TEST_F(RecoverTest, FileShorterThanAHeaderIsReplacedOnlyWhenItStartsAHeader) {
  const Bytes gen5 = header(5);
  for (const Bytes& start : {Bytes{}, bytes_of("T"), bytes_of("TWF"), bytes_of("TWFL"),
                             Bytes(kFresh.begin(), kFresh.begin() + 8),
                             Bytes(gen5.begin(), gen5.begin() + 15)}) {
    write_file(log(), start);
    CallCounter syncs(sys::Call::kFullSync);
    Recovery run(log());
    ASSERT_TRUE(run.result.ok()) << start.size();
    EXPECT_EQ(run.result->end_offset, 16u);
    EXPECT_EQ(read_file(log()), kFresh) << start.size();
    EXPECT_EQ(syncs.count(), 2u) << "the file and its directory";
    EXPECT_EQ(run.warnings, "");
  }
  for (const Bytes& other : {Bytes(10, 'Z'), bytes_of("0123456789"), bytes_of("TWFLx"),
                             bytes_of("TWFL") + Bytes{2, 0, 0, 0}, Bytes(15, 0)}) {
    write_file(log(), other);
    CallCounter writes(sys::Call::kWrite), renames(sys::Call::kRename);
    Recovery run(log());
    ASSERT_FALSE(run.result.ok()) << to_text(other);
    EXPECT_EQ(run.result.error().text(), "queue.log has bad magic (not a Tarnwick log)");
    EXPECT_EQ(read_file(log()), other);
    EXPECT_EQ(writes.count() + renames.count(), 0u);
    EXPECT_EQ(run.leaked_fds, 0u);
  }
}

// A new log appears whole or not at all: it is written beside the log's name
// and renamed into place, and a failure leaves neither log nor stray file.
TEST_F(RecoverTest, FailuresWhileCreatingAreReturned) {
  for (sys::Call call : {sys::Call::kUnlink, sys::Call::kWrite, sys::Call::kFullSync,
                         sys::Call::kRename}) {
    std::filesystem::remove(log());
    FaultScope faults;
    faults.fail(call, EIO);
    Recovery run(log());
    ASSERT_FALSE(run.result.ok()) << int(call);
    EXPECT_EQ(run.result.error().os_code(), EIO);
    EXPECT_EQ(run.leaked_fds, 0u);
    EXPECT_FALSE(std::filesystem::exists(log())) << "a log without a whole header";
    EXPECT_FALSE(std::filesystem::exists(dir_.file("queue.purge.tmp")));
  }
  // A short file stays as it was until the new log replaces it.
  write_file(log(), bytes_of("TWF"));
  {
    FaultScope faults;
    faults.fail(sys::Call::kFullSync, EIO);
    Recovery run(log());
    ASSERT_FALSE(run.result.ok());
    EXPECT_EQ(read_file(log()), bytes_of("TWF"));
  }
  std::filesystem::remove(log());
  Recovery missing_dir(dir_.file("no/such/queue.log"));
  ASSERT_FALSE(missing_dir.result.ok());
  EXPECT_EQ(missing_dir.result.error().os_code(), ENOENT);
}

// Sixteen zero bytes are what an interrupted in-place header write leaves:
// no record can follow them, so a new log replaces them, with a warning. Any
// other zeroed file may hold something and is refused like any foreign file.
TEST_F(RecoverTest, ZeroedHeaderAloneBecomesAFreshLog) {
  write_file(log(), Bytes(16, 0));
  Recovery run(log());
  ASSERT_TRUE(run.result.ok()) << run.result.error().text();
  EXPECT_EQ(run.result->end_offset, 16u);
  EXPECT_EQ(read_file(log()), kFresh);
  EXPECT_EQ(run.warnings,
            "Tarnwick: queue.log held a zeroed header and no records; started a new log\n");

  for (const Bytes& contents : {Bytes(17, 0), Bytes(16, 0) + kFirst}) {
    write_file(log(), contents);
    Recovery refused(log());
    ASSERT_FALSE(refused.result.ok());
    EXPECT_EQ(refused.result.error().kind(), ErrorKind::kInvalidData);
    EXPECT_EQ(read_file(log()), contents);
  }
}

TEST_F(RecoverTest, BadMagicIsRefusedAndTheFileLeftAlone) {
  for (const Bytes& contents :
       {bytes_of("not a queue log at all"), bytes_of("TWFl") + Bytes(12, 0),
        bytes_of("TWR1") + kFirst}) {
    write_file(log(), contents);
    for (int attempt = 0; attempt < 2; ++attempt) {
      CallCounter truncates(sys::Call::kFtruncate);
      Recovery run(log());
      ASSERT_FALSE(run.result.ok());
      EXPECT_EQ(run.result.error().kind(), ErrorKind::kInvalidData);
      EXPECT_EQ(run.result.error().text(), "queue.log has bad magic (not a Tarnwick log)");
      EXPECT_EQ(read_file(log()), contents);
      EXPECT_EQ(truncates.count(), 0u);
      EXPECT_EQ(run.leaked_fds, 0u);
    }
  }
}

TEST_F(RecoverTest, AnyVersionAndGenerationAreAccepted) {
  write_file(log(), header(7, 3) + kFirst + frame_of(EnqueueRecord{5, 1, bytes_of("abc")}) +
                        frame_of(LeaseRecord{5, 99, 2}));
  Recovery run(log());
  ASSERT_TRUE(run.result.ok());
  const Recovered& r = run.result.value();
  EXPECT_EQ(r.generation, 7u);
  EXPECT_EQ(r.end_offset, 16u + 35 + 36 + 33);
  EXPECT_EQ(r.state.next_seq, 6u);
  EXPECT_EQ(r.state.ready, (std::set<uint64_t>{0}));
  EXPECT_EQ(r.state.in_flight.at(5), 99u);
  EXPECT_EQ(r.state.messages.at(5).deliveries, 2u);
}

TEST_F(RecoverTest, BodiesAreLocatedAtTheirTrueFileOffsets) {
  const Bytes big(20000, 'q');  // beyond the read buffer
  write_file(log(), kFresh + kFirst + frame_of(EnqueueRecord{1, 2, big}) +
                        frame_of(EnqueueRecord{2, 3, bytes_of("tail")}));
  Recovery run(log());
  ASSERT_TRUE(run.result.ok());
  const Bytes file = read_file(log());
  EXPECT_EQ(run.result->end_offset, file.size());
  const auto& messages = run.result->state.messages;
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages.at(0).body_offset, 49u);
  for (const auto& [seq, entry] : messages) {
    EXPECT_EQ(entry.body, nullptr);
    ASSERT_LE(entry.body_offset + entry.body_len, file.size());
    const Bytes body(file.begin() + static_cast<long>(entry.body_offset),
                     file.begin() + static_cast<long>(entry.body_offset + entry.body_len));
    EXPECT_EQ(body, seq == 0 ? bytes_of("hi") : seq == 1 ? big : bytes_of("tail")) << seq;
  }
}

TEST_F(RecoverTest, EnqueueThenAckLeavesAnEmptyState) {
  write_file(log(), kFresh + kFirst + frame_of(AckRecord{0}));
  Recovery run(log());
  ASSERT_TRUE(run.result.ok());
  EXPECT_EQ(run.result->end_offset, 72u);
  EXPECT_TRUE(run.result->state.messages.empty());
  EXPECT_EQ(run.result->state.live_bytes, 0u);
  EXPECT_EQ(run.result->state.acked_total, 1u);
  EXPECT_EQ(run.result->state.next_seq, 1u);
}

TEST_F(RecoverTest, CleanLogIsNotWrittenAtAll) {
  const Bytes contents = kFresh + kFirst + frame_of(LeaseRecord{0, 5, 1});
  write_file(log(), contents);
  const struct timespec past[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, log().c_str(), past, 0), 0);
  CallCounter truncates(sys::Call::kFtruncate), syncs(sys::Call::kFullSync),
      writes(sys::Call::kWrite);
  Recovery run(log());
  ASSERT_TRUE(run.result.ok());
  EXPECT_EQ(run.result->end_offset, contents.size());
  EXPECT_EQ(read_file(log()), contents);
  struct stat st {};
  ASSERT_EQ(::stat(log().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 0);
  EXPECT_EQ(truncates.count() + syncs.count() + writes.count(), 0u);
  EXPECT_EQ(run.warnings, "");
  EXPECT_EQ(run.leaked_fds, 0u);
}

// --- a damaged frame at offset 51, after one intact ENQUEUE ---

struct Damage {
  const char* name;
  Bytes bytes;       // what lies at offset 51
  bool then_valid;   // followed by valid frames that must not be applied
  const char* kind;  // "corrupt" or "undecodable"
  const char* message;
};

Bytes flip(Bytes b, size_t at, uint8_t bit) {
  b[at] ^= bit;
  return b;
}

Bytes frame_header(uint32_t length, uint32_t crc) {
  Bytes h = {'T', 'W', 'R', '1'};
  for (int i = 0; i < 4; ++i) h.push_back(uint8_t(length >> (8 * i)));
  for (int i = 0; i < 4; ++i) h.push_back(uint8_t(crc >> (8 * i)));
  return h;
}

const Bytes kAck0 = frame_of(AckRecord{0});
constexpr const char* kCrc = "record CRC mismatch (silent corruption)";

std::vector<Damage> damages() {
  return {
      {"StrayBytes", Bytes(7, 0x5A), false, "corrupt", "truncated record header"},
      {"TornHeader", Bytes(kAck0.begin(), kAck0.begin() + 11), false, "corrupt",
       "truncated record header"},
      {"TornPayload", Bytes(kAck0.begin(), kAck0.end() - 1), false, "corrupt",
       "truncated record payload"},
      {"PayloadSwallowsTheRest", frame_header(100, 0), true, "corrupt", "truncated record payload"},
      {"BadMagicLast", flip(kAck0, 1, 0x04), false, "corrupt", "bad record magic"},
      {"BadMagicMiddle", flip(kAck0, 1, 0x04), true, "corrupt", "bad record magic"},
      {"TooLongLast", frame_header(536870913, 0), false, "corrupt",
       "record length 536870913 exceeds max 536870912"},
      {"TooLongMiddle", frame_header(536870913, 0), true, "corrupt",
       "record length 536870913 exceeds max 536870912"},
      {"PayloadBitLast", flip(kAck0, 13, 0x01), false, "corrupt", kCrc},
      {"PayloadBitMiddle", flip(kAck0, 13, 0x01), true, "corrupt", kCrc},
      {"CrcFieldBit", flip(kAck0, 10, 0x40), true, "corrupt", kCrc},
      {"EmptyFrameWithCrc", frame_header(0, 7), true, "corrupt", kCrc},
      {"UnknownTagLast", framed({13, 0, 0, 0, 0, 0, 0, 0, 0}), false, "undecodable",
       "unknown record type 13"},
      {"UnknownTagMiddle", framed({13, 0, 0, 0, 0, 0, 0, 0, 0}), true, "undecodable",
       "unknown record type 13"},
      {"EmptyPayload", frame_header(0, 0), true, "undecodable", "empty record"},
      {"ShortAck", framed({2, 0, 0, 0, 0, 0, 0, 0}), true, "undecodable", "short u64 field"},
      {"ShortEnqueueBody", framed(Bytes{1} + Bytes(16, 0) + Bytes{9, 0, 0, 0}), true,
       "undecodable", "short body"},
  };
}

void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class RecoverDamage : public ::testing::TestWithParam<Damage> {};

// Damage with no intact frame after it is a torn tail and is cut off; damage
// followed by intact frames is skipped: recovery copies the whole log aside,
// replays every intact frame around the damage and leaves the rewrite to its
// caller, without changing the log itself.
TEST_P(RecoverDamage, CutsATornTailAndSkipsDamageInTheMiddle) {
  const Damage& d = GetParam();
  TempDir dir;
  const std::string path = dir.file("queue.log");
  const Bytes intact = header(4) + kFirst;
  // After the damage: an ACK of seq 0 and a new message.
  const Bytes after = d.then_valid ? kAck0 + frame_of(EnqueueRecord{1, 1, bytes_of("x")}) : Bytes{};
  const Bytes contents = intact + d.bytes + after;
  write_file(path, contents);

  CallCounter truncates(sys::Call::kFtruncate), syncs(sys::Call::kFullSync);
  Recovery run(path);
  ASSERT_TRUE(run.result.ok()) << run.result.error().text();
  EXPECT_EQ(run.result->generation, 4u);
  EXPECT_EQ(run.leaked_fds, 0u);
  const QueueState& s = run.result->state;
  const RepairReport& report = run.result->report;
  if (!d.then_valid) {
    EXPECT_EQ(run.warnings, std::string("Tarnwick: truncating ") + d.kind +
                                " log tail at byte 51 (" + d.message + ")\n");
    EXPECT_EQ(read_file(path), intact);
    EXPECT_EQ(run.result->end_offset, 51u);
    EXPECT_FALSE(run.result->rewrite);
    EXPECT_EQ(report.cut_tail, (DamagedRange{51, d.bytes.size(), d.message}));
    EXPECT_EQ(s.ready, (std::set<uint64_t>{0}));
    EXPECT_EQ(s.messages.size(), 1u);
    EXPECT_EQ(s.next_seq, 1u);
    EXPECT_EQ(truncates.count(), 1u);
    EXPECT_EQ(syncs.count(), 2u) << "the file, then its directory";

    // The cut log is clean: a second recovery is silent and writes nothing.
    CallCounter truncates_again(sys::Call::kFtruncate);
    Recovery again(path);
    ASSERT_TRUE(again.result.ok());
    EXPECT_EQ(again.warnings, "");
    EXPECT_EQ(again.result->end_offset, 51u);
    EXPECT_EQ(truncates_again.count(), 0u);
    return;
  }
  EXPECT_TRUE(run.result->rewrite);
  EXPECT_EQ(read_file(path), contents) << "the caller rewrites the log, not recovery";
  EXPECT_EQ(run.result->end_offset, contents.size());
  EXPECT_EQ(report.skipped, (std::vector<DamagedRange>{{51, d.bytes.size(), d.message}}));
  EXPECT_FALSE(report.cut_tail);
  EXPECT_EQ(report.records_kept, 3u);
  EXPECT_EQ(report.orphan_records, 0u);
  // The ACK after the damage applies; the message after it is kept.
  EXPECT_EQ(s.ready, (std::set<uint64_t>{1}));
  EXPECT_EQ(s.messages.size(), 1u);
  EXPECT_EQ(s.messages.at(1).body_offset, 51 + d.bytes.size() + 21 + 33);
  EXPECT_EQ(s.next_seq, 2u);
  EXPECT_EQ(s.acked_total, 1u);
  EXPECT_EQ(truncates.count(), 0u);

  const std::string& copy = report.damaged_copy;
  ASSERT_TRUE(copy.starts_with(path + ".damaged-gen4-")) << copy;
  EXPECT_TRUE(is_utc_stamp(copy.substr(path.size() + std::string(".damaged-gen4-").size())))
      << copy;
  EXPECT_EQ(read_file(copy), contents);
  EXPECT_EQ(syncs.count(), 2u) << "the copy, then its directory";
  EXPECT_EQ(run.warnings, "Tarnwick: skipped " + std::to_string(d.bytes.size()) +
                              " damaged bytes in " + path + " at bytes 51-" +
                              std::to_string(50 + d.bytes.size()) + " (" + d.message +
                              "); kept 3 intact records; the damaged log was kept as " + copy +
                              "\n");
}

INSTANTIATE_TEST_SUITE_P(Kinds, RecoverDamage, ::testing::ValuesIn(damages()),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(RecoverTest, DamageRightAfterTheHeaderLeavesAnEmptyLog) {
  write_file(log(), kFresh + Bytes{'T', 'W', 'R'});
  Recovery run(log());
  ASSERT_TRUE(run.result.ok());
  EXPECT_EQ(run.warnings,
            "Tarnwick: truncating corrupt log tail at byte 16 (truncated record header)\n");
  EXPECT_EQ(run.result->end_offset, 16u);
  EXPECT_EQ(read_file(log()), kFresh);
}

TEST_F(RecoverTest, ReadErrorLeavesTheFileUntouched) {
  // Damage at the end that would be cut if the scan got that far.
  const Bytes contents = kFresh + kFirst + Bytes(5, 0);
  for (uint64_t skip : {0u, 1u}) {  // the header read, then the first frame read
    write_file(log(), contents);
    FaultScope faults;
    faults.fail(sys::Call::kRead, EIO, skip);
    Recovery run(log());
    ASSERT_FALSE(run.result.ok()) << skip;
    EXPECT_EQ(run.result.error().os_code(), EIO);
    EXPECT_EQ(run.warnings, "");
    EXPECT_EQ(read_file(log()), contents);
    EXPECT_EQ(run.leaked_fds, 0u);
  }
}

TEST_F(RecoverTest, FailuresWhileCuttingAreReturnedAfterTheWarning) {
  const Bytes contents = kFresh + kFirst + Bytes(5, 0);
  struct Case {
    sys::Call call;
    uint64_t skip;
    bool cut;  // whether the file was already cut when the failure came
  };
  for (const Case& c : {Case{sys::Call::kFtruncate, 0, false}, Case{sys::Call::kFullSync, 0, true},
                        Case{sys::Call::kOpen, 1, true}, Case{sys::Call::kFullSync, 1, true}}) {
    write_file(log(), contents);
    FaultScope faults;
    faults.fail(c.call, EIO, c.skip);
    Recovery run(log());
    ASSERT_FALSE(run.result.ok()) << int(c.call) << "/" << c.skip;
    EXPECT_EQ(run.result.error().os_code(), EIO);
    EXPECT_EQ(run.warnings,
              "Tarnwick: truncating corrupt log tail at byte 51 (truncated record header)\n");
    EXPECT_EQ(file_size(log()), c.cut ? 51u : contents.size());
    EXPECT_EQ(run.leaked_fds, 0u);
  }
}

// --- sync_parent_dir and parent_dir ---

TEST(ParentDir, PathsAndTheirDirectories) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},          {"queue.log", ""}, {"/", ""},        {"///", ""},
      {"/x", "/"},       {"//x", "/"},      {"a/b", "a"},     {"a/b/", "a"},
      {"a//b", "a"},     {"/a/b/c", "/a/b"}, {"./x", "."},    {"a/", ""},
  };
  for (const auto& [path, parent] : cases) {
    EXPECT_EQ(parent_dir(path), parent) << '"' << path << '"';
  }
}

TEST(SyncParentDir, SyncsTheDirectoryThatHoldsThePath) {
  TempDir dir;
  struct Case {
    std::string path;
    uint64_t opens;  // 0: nothing to sync
  };
  for (const Case& c :
       {Case{"queue.log", 0}, Case{"/", 0}, Case{"/x", 1}, Case{dir.file("f"), 1}}) {
    CallCounter opens(sys::Call::kOpen), syncs(sys::Call::kFullSync);
    const size_t fds = open_fds();
    Status s = sync_parent_dir(c.path);
    EXPECT_TRUE(s.ok()) << c.path << ": " << s.error().text();
    EXPECT_EQ(opens.count(), c.opens) << c.path;
    EXPECT_EQ(syncs.count(), c.opens) << c.path;
    EXPECT_EQ(open_fds(), fds);
  }
}

TEST(SyncParentDir, FailuresAreReturnedAndCloseTheDirectory) {
  TempDir dir;
  Status missing = sync_parent_dir(dir.file("gone/f"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().os_code(), ENOENT);
  for (sys::Call call : {sys::Call::kOpen, sys::Call::kFullSync}) {
    const size_t fds = open_fds();
    FaultScope faults;
    faults.fail(call, EACCES);
    Status s = sync_parent_dir(dir.file("f"));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().os_code(), EACCES);
    EXPECT_EQ(open_fds(), fds);
  }
}

}  // namespace
}  // namespace tarnwick::testing
