// Replacing the log: compaction keeps the live messages, purge keeps none.
// Both write a new file of the next generation beside the log, sync it,
// rename it over the log and sync the directory. A replacement that fails
// before the rename removes its file again. The new file takes the access
// of the log it replaces (file_access.h), so that a compaction by one user
// does not lock out the others who share the queue.
#include <algorithm>

#include "log_io/clock.h"
#include "log_io/durability.h"
#include "log_io/kill_point.h"
#include "log_io/sys.h"
#include "queue/queue_impl.h"
#include "queue/recover.h"

namespace tarnwick {
namespace {

struct LiveMessage {
  uint64_t seq;
  MessageEntry* entry;
  std::optional<uint64_t> deadline;
};

// Appends one frame with the record's payload to `writer`.
Status put_frame(BufferedWriter& writer, std::vector<uint8_t>& scratch, const Record& record) {
  scratch.clear();
  append_frame_to(scratch, record);
  return writer.write_all(scratch);
}

}  // namespace

Result<ReplacementFile> QueueImpl::create_replacement(const std::string& path) {
  if (read_only) return read_only_error();
  // After catch-up the file we hold is the one at the log's name.
  TW_ASSIGN_OR_RETURN(struct ::stat replaced, sys::fstat(inner.files->reader.get()));
  return ReplacementFile::create(path, access_replacing(replaced));
}

template <class Write>
Status QueueImpl::replace_log(Write&& write) {
  // What the operation owes is synced first, as before any replacement.
  TW_TRY(settle_owed_now());
  bool renamed = false;
  Status done = write(renamed);
  if (!done.ok() && !renamed && out_of_space(done.error()) && reserve && reserve->free_all()) {
    done = write(renamed);
  }
  if (done.ok() && reserve) reserve->resize_for(inner.log_bytes);
  return done;
}

namespace {

// Whether the state holds anything only format 2 can write.
bool needs_format_2(const QueueState& state) {
  return !state.options.empty() || !state.kept_keys.empty() || state.paused ||
         state.group_limit != 1;
}

}  // namespace

Status QueueImpl::do_compact() {
  if (!persistent) return {};
  // Compaction keeps the format (a format-1 log stays readable by older releases).
  const uint32_t format = needs_format_2(inner.state) ? FORMAT_VERSION_2 : inner.format;
  return replace_log([this, format](bool& renamed) { return write_compacted(renamed, format); });
}

Status QueueImpl::upgrade_to_format_2() {
  if (!persistent) {
    inner.format = FORMAT_VERSION_2;
    return {};
  }
  if (inner.format == FORMAT_VERSION_2) return {};
  return replace_log(
      [this](bool& renamed) { return write_compacted(renamed, FORMAT_VERSION_2); });
}

Status QueueImpl::write_compacted(bool& renamed, uint32_t format) {
  const uint64_t next_generation = inner.generation + 1;
  QueueState& state = inner.state;
  const uint64_t now = now_ms();

  std::vector<LiveMessage> live;
  live.reserve(state.messages.size());
  for (auto& [seq, entry] : state.messages) {
    auto leased = state.in_flight.find(seq);
    live.push_back({seq, &entry,
                    leased == state.in_flight.end() ? std::nullopt
                                                    : std::optional<uint64_t>(leased->second)});
  }
  std::sort(live.begin(), live.end(),
            [](const LiveMessage& a, const LiveMessage& b) { return a.seq < b.seq; });

  std::vector<uint64_t> new_offsets;
  std::vector<uint64_t> new_header_offsets;  // per message with options, in order
  new_offsets.reserve(live.size());
  {
    TW_ASSIGN_OR_RETURN(ReplacementFile file, create_replacement(compact_tmp_path));
    TW_TRY(write_header(file.fd(), next_generation, format));
    BufferedWriter writer(file.fd());
    std::vector<uint8_t> scratch;
    uint64_t pos = LOG_HEADER_LEN;
    auto put_view = [&](const RecordView& view) -> Status {
      scratch.clear();
      append_frame_to(scratch, view);
      pos += scratch.size();
      return writer.write_all(scratch);
    };
    if (format == FORMAT_VERSION_2 && (state.paused || state.group_limit != 1)) {
      TW_TRY(put_view(RecordView::settings(state.paused, state.group_limit)));
    }
    for (const LiveMessage& m : live) {
      // The body is read first: it ends past the headers, so reading it maps
      // both, and the headers' view stays valid.
      TW_ASSIGN_OR_RETURN(ByteSpan body, read_body(m.entry->body_offset, m.entry->body_len));
      if (const MessageOptions* o = state.options_of(m.seq)) {
        TW_ASSIGN_OR_RETURN(ByteSpan headers, read_body(o->headers_offset, o->headers_len));
        const RecordView view = RecordView::enqueue_with_options(
            m.seq, m.entry->enqueued_ts_ms, body, o->priority, o->key, o->unique_for_ms,
            state.group_name(o->group), headers);
        new_offsets.push_back(pos + view.body_at());
        new_header_offsets.push_back(pos + view.headers_at());
        TW_TRY(put_view(view));
      } else {
        scratch.clear();
        append_enqueue_frame_to(scratch, m.seq, m.entry->enqueued_ts_ms, body);
        TW_TRY(writer.write_all(scratch));
        new_offsets.push_back(pos + ENQUEUE_FRAME_OVERHEAD);
        pos += scratch.size();
      }
      if (m.entry->deliveries != 0) {
        TW_TRY(put_frame(writer, scratch, RequeueRecord{m.seq, m.entry->deliveries}));
        pos += REQUEUE_FRAME_LEN;
      }
      if (m.deadline) {
        // A lease keeps what its LEASE told of the delivery; a delay stays one.
        LeaseRecord lease{m.seq, *m.deadline, m.entry->deliveries};
        if (auto facts = state.lease_facts.find(m.seq); facts != state.lease_facts.end()) {
          lease.details = LeaseDetails{facts->second.started_ms, facts->second.extensions,
                                       std::string(state.consumers.name(facts->second.consumer))};
        } else {
          lease.scheduled = state.is_scheduled(m.seq);
        }
        TW_TRY(put_frame(writer, scratch, lease));
        pos += scratch.size();
      }
    }
    if (format == FORMAT_VERSION_2) {
      for (const auto& [key, kept] : state.kept_keys) {
        if (kept.expires_ms > now) TW_TRY(put_view(RecordView::kept_key(kept.seq, kept.expires_ms, key)));
      }
    }
    TW_TRY(writer.flush());
    kill_point(KillPoint::kCompactTempWritten);
    TW_TRY(sys::full_sync(file.fd()));
    kill_point(KillPoint::kCompactTempSynced);
    TW_TRY(file.rename_to(log_path));
    kill_point(KillPoint::kCompactRenamed);
    renamed = true;
  }
  TW_TRY(sync_parent_dir(log_path));
  kill_point(KillPoint::kCompactDirSynced);
  TW_TRY(reopen_io(next_generation));
  inner.format = format;
  size_t with_options = 0;
  for (size_t i = 0; i < live.size(); ++i) {
    live[i].entry->body_offset = new_offsets[i];
    if (state.options.empty()) continue;
    if (auto o = state.options.find(live[i].seq); o != state.options.end()) {
      o->second.headers_offset = new_header_offsets[with_options++];
    }
  }
  std::erase_if(state.kept_keys, [now](const auto& kept) { return kept.second.expires_ms <= now; });
  return {};
}

Status QueueImpl::maybe_compact() {
  if (!persistent || read_only || settings.auto_compact_bytes == 0) return {};
  if (inner.log_bytes < settings.auto_compact_bytes) return {};
  const uint64_t live = inner.state.live_bytes;
  if (live >= (uint64_t{1} << 63) || 2 * live >= inner.log_bytes) return {};
  // The removal that asked for it has taken effect and must be reported as
  // such; a failure here leaves a log that is only longer than it need be
  // (or, past the rename, a new generation the next call reloads).
  Status compacted = do_compact();
  if (!compacted.ok()) {
    warn("Tarnwick: automatic compaction failed: " + compacted.error().text() + "\n");
  }
  return {};
}

namespace {

// What a purge keeps of a state: the queue's settings, no message or key.
QueueState settings_only(const QueueState& state) {
  QueueState fresh;
  fresh.paused = state.paused;
  fresh.group_limit = state.group_limit;
  return fresh;
}

}  // namespace

Status QueueImpl::purge_log() {
  if (!persistent) {
    inner.state = settings_only(inner.state);
    return {};
  }
  return replace_log([this](bool& renamed) { return write_purged(renamed); });
}

Status QueueImpl::write_purged(bool& renamed) {
  const uint64_t next_generation = inner.generation + 1;
  {
    TW_ASSIGN_OR_RETURN(ReplacementFile file, create_replacement(purge_tmp_path));
    TW_TRY(write_header(file.fd(), next_generation, inner.format));
    if (inner.state.paused || inner.state.group_limit != 1) {
      std::vector<uint8_t> frame;
      append_frame_to(frame, RecordView::settings(inner.state.paused, inner.state.group_limit));
      TW_TRY(sys::write_all(file.fd(), frame.data(), frame.size()));
    }
    kill_point(KillPoint::kPurgeTempWritten);
    TW_TRY(sys::full_sync(file.fd()));
    kill_point(KillPoint::kPurgeTempSynced);
    TW_TRY(file.rename_to(log_path));
    kill_point(KillPoint::kPurgeRenamed);
    renamed = true;
  }
  // Only now is the log empty; until the rename the old messages stay served.
  inner.state = settings_only(inner.state);
  TW_TRY(sync_parent_dir(log_path));
  kill_point(KillPoint::kPurgeDirSynced);
  return reopen_io(next_generation);
}

}  // namespace tarnwick
