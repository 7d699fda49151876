// Replacing the log: compaction keeps the live messages, the schedules and
// the outcomes whose time is not up, purge keeps no message (the schedules
// and outcomes stay).
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
#include "queue/schedule_record.h"

namespace tarnwick {
namespace {

struct LiveMessage {
  uint64_t seq;
  MessageEntry* entry;
  std::optional<uint64_t> deadline;
};

// Writes a SCHEDULE holding each schedule's state alone to `writer` at `pos` (advanced).
Status put_schedules(BufferedWriter& writer, uint64_t& pos, const QueueState& state) {
  std::vector<uint8_t> frame;
  std::vector<uint8_t> payload;
  for (const auto& [name, bytes] : state.schedules) {
    payload.clear();
    ScheduleFields fields;
    fields.name = name;
    fields.state = std::span<const uint8_t>(bytes);
    encode_schedule(fields, payload);
    frame.clear();
    append_frame_to(frame, RecordView::encoded(SCHEDULE, 0, payload));
    TW_TRY(writer.write_all(frame));
    pos += frame.size();
  }
  return {};
}

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

// The oldest format that holds everything the state will write, at least `format`.
uint32_t format_needed(const QueueState& state, uint32_t format) {
  if (preallocated(format)) return format;  // it holds every kind
  if (!state.schedules.empty()) return FORMAT_VERSION_4;
  if (format >= FORMAT_VERSION_3 || !state.outcomes.empty()) {
    return std::max(format, FORMAT_VERSION_3);
  }
  // A history of consumers alone is what the LEASE records told: an older
  // format lets it go rather than become a log older releases cannot read.
  for (const auto& [seq, history] : state.histories) {
    if (!history.errors.empty()) return FORMAT_VERSION_3;
  }
  if (!state.options.empty() || !state.kept_keys.empty() || state.paused ||
      state.group_limit != 1) {
    return std::max(format, FORMAT_VERSION_2);
  }
  return format;
}

}  // namespace

Status QueueImpl::do_compact() {
  if (!persistent) {
    // Nothing to rewrite: only the outcomes whose time is up are let go.
    inner.state.drop_expired_outcomes(now_ms());
    outcomes_pruned_at_ = inner.state.outcomes.size();
    return {};
  }
  // Compaction keeps the format (a format-1 log stays readable by older releases).
  const uint32_t format = format_needed(inner.state, inner.format);
  return replace_log([this, format](bool& renamed) { return write_compacted(renamed, format); });
}

Status QueueImpl::upgrade_to_format_2() { return upgrade_to(FORMAT_VERSION_2); }

Status QueueImpl::upgrade_to(uint32_t format) {
  if (!persistent) {
    inner.format = std::max(inner.format, format);
    return {};
  }
  if (inner.format >= format) return {};
  return replace_log([this, format](bool& renamed) { return write_compacted(renamed, format); });
}

Status QueueImpl::upgrade_for(std::span<const RecordView> records) {
  uint32_t needed = inner.format;
  for (const RecordView& r : records) needed = std::max(needed, format_for(r.tag));
  return needed > inner.format ? upgrade_to(needed) : Status{};
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
  std::vector<OutcomeEntry> kept_outcomes;   // as they stand in the new log
  new_offsets.reserve(live.size());
  uint64_t pos = LOG_HEADER_LEN;
  {
    TW_ASSIGN_OR_RETURN(ReplacementFile file, create_replacement(compact_tmp_path));
    TW_TRY(write_header(file.fd(), next_generation, format));
    BufferedWriter writer(file.fd());
    std::vector<uint8_t> scratch;
    auto put_view = [&](const RecordView& view) -> Status {
      scratch.clear();
      append_frame_to(scratch, view);
      pos += scratch.size();
      return writer.write_all(scratch);
    };
    if (format >= FORMAT_VERSION_2 && (state.paused || state.group_limit != 1)) {
      TW_TRY(put_view(RecordView::settings(state.paused, state.group_limit)));
    }
    // The schedules are configuration, like the settings.
    if (format >= FORMAT_VERSION_4) TW_TRY(put_schedules(writer, pos, state));
    // The kept outcomes first, each frame as it was written, oldest first
    // (they name messages that left, so no live message follows them).
    if (format >= FORMAT_VERSION_3) {
      TW_ASSIGN_OR_RETURN(kept_outcomes, copy_outcomes(writer, pos, now));
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
      if (format >= FORMAT_VERSION_3 && !state.histories.empty()) {
        if (auto h = state.histories.find(m.seq); h != state.histories.end()) {
          HistoryFields fields;
          fields.seq = m.seq;
          fields.recorded = h->second.recorded;
          fields.started_ms = h->second.started_ms;
          for (const std::string& e : h->second.errors) fields.lists.errors.emplace_back(e);
          for (const std::string& c : h->second.consumers) fields.lists.consumers.emplace_back(c);
          std::vector<uint8_t> payload;
          encode_history(fields, payload);
          TW_TRY(put_view(RecordView::encoded(HISTORY, m.seq, payload)));
        }
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
    if (format >= FORMAT_VERSION_2) {
      for (const auto& [key, kept] : state.kept_keys) {
        if (kept.expires_ms > now) TW_TRY(put_view(RecordView::kept_key(kept.seq, kept.expires_ms, key)));
      }
    }
    TW_TRY(writer.flush());
    if (preallocated(format)) TW_TRY(sys::write_zeros(file.fd(), pos, PREALLOCATE_BYTES));
    kill_point(KillPoint::kCompactTempWritten);
    TW_TRY(sys::full_sync(file.fd()));
    kill_point(KillPoint::kCompactTempSynced);
    TW_TRY(file.rename_to(log_path));
    kill_point(KillPoint::kCompactRenamed);
    renamed = true;
  }
  TW_TRY(sync_parent_dir(log_path));
  kill_point(KillPoint::kCompactDirSynced);
  TW_TRY(reopen_io(next_generation, format, pos));
  size_t with_options = 0;
  for (size_t i = 0; i < live.size(); ++i) {
    live[i].entry->body_offset = new_offsets[i];
    if (state.options.empty()) continue;
    if (auto o = state.options.find(live[i].seq); o != state.options.end()) {
      o->second.headers_offset = new_header_offsets[with_options++];
    }
  }
  std::erase_if(state.kept_keys, [now](const auto& kept) { return kept.second.expires_ms <= now; });
  take_outcomes(std::move(kept_outcomes));
  return {};
}

Result<std::vector<OutcomeEntry>> QueueImpl::copy_outcomes(BufferedWriter& writer, uint64_t& pos,
                                                           uint64_t now) {
  std::vector<OutcomeEntry> kept;
  kept.reserve(inner.state.outcomes.size());
  for (const OutcomeEntry& entry : inner.state.outcomes) {
    if (entry.state == 0 || entry.keep_until_ms <= now) continue;
    TW_ASSIGN_OR_RETURN(ByteSpan frame, read_body(entry.frame_offset, entry.frame_len));
    TW_TRY(writer.write_all(frame));
    OutcomeEntry moved = entry;
    moved.frame_offset = pos;
    pos += entry.frame_len;
    kept.push_back(moved);
  }
  return kept;
}

void QueueImpl::take_outcomes(std::vector<OutcomeEntry> kept) {
  QueueState& state = inner.state;
  state.outcomes.clear();
  state.outcome_index.clear();
  state.outcome_bytes = 0;
  state.expired_outcome_bytes = 0;
  for (size_t& at : state.expiry_cursors) at = 0;
  for (const OutcomeEntry& entry : kept) state.keep_outcome(entry);
}

Status QueueImpl::maybe_compact() {
  if (!persistent) {
    // A queue without a log lets expired outcomes go once their number
    // doubled since the last look: a walk paid for by the removals.
    const size_t kept = inner.state.outcomes.size();
    if (kept >= 1024 && kept >= 2 * outcomes_pruned_at_) return do_compact();
    return {};
  }
  if (read_only || settings.auto_compact_bytes == 0) return {};
  if (inner.log_bytes < settings.auto_compact_bytes) return {};
  // Kept outcomes are live for this until their time is up: a log of
  // mostly kept outcomes is not rewritten on every removal, and one of
  // mostly expired ones is compacted as a log of mostly removed messages.
  const uint64_t live = inner.state.live_bytes + inner.state.schedule_bytes +
                        inner.state.unexpired_outcome_bytes(now_ms());
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

// What a purge keeps of a state: the queue's settings, schedules and kept
// outcomes (whose ids stay taken), no message or key.
QueueState settings_only(QueueState& state) {
  QueueState fresh;
  fresh.paused = state.paused;
  fresh.group_limit = state.group_limit;
  fresh.schedules = std::move(state.schedules);
  fresh.schedule_bytes = state.schedule_bytes;
  fresh.outcome_payloads = std::move(state.outcome_payloads);
  for (const OutcomeEntry& entry : state.outcomes) {
    if (entry.state != 0) fresh.keep_outcome(entry);
  }
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
  std::vector<OutcomeEntry> kept_outcomes;
  uint64_t pos = LOG_HEADER_LEN;
  {
    TW_ASSIGN_OR_RETURN(ReplacementFile file, create_replacement(purge_tmp_path));
    TW_TRY(write_header(file.fd(), next_generation, inner.format));
    if (inner.state.paused || inner.state.group_limit != 1) {
      std::vector<uint8_t> frame;
      append_frame_to(frame, RecordView::settings(inner.state.paused, inner.state.group_limit));
      TW_TRY(sys::write_all(file.fd(), frame.data(), frame.size()));
      pos += frame.size();
    }
    if (!inner.state.schedules.empty() || !inner.state.outcomes.empty()) {
      BufferedWriter writer(file.fd());
      TW_TRY(put_schedules(writer, pos, inner.state));
      TW_ASSIGN_OR_RETURN(kept_outcomes, copy_outcomes(writer, pos, now_ms()));
      TW_TRY(writer.flush());
    }
    if (preallocated(inner.format)) TW_TRY(sys::write_zeros(file.fd(), pos, PREALLOCATE_BYTES));
    kill_point(KillPoint::kPurgeTempWritten);
    TW_TRY(sys::full_sync(file.fd()));
    kill_point(KillPoint::kPurgeTempSynced);
    TW_TRY(file.rename_to(log_path));
    kill_point(KillPoint::kPurgeRenamed);
    renamed = true;
  }
  // Only now is the log empty; until the rename the old messages stay served.
  inner.state = settings_only(inner.state);
  take_outcomes(std::move(kept_outcomes));
  TW_TRY(sync_parent_dir(log_path));
  kill_point(KillPoint::kPurgeDirSynced);
  return reopen_io(next_generation, inner.format, pos);
}

}  // namespace tarnwick
