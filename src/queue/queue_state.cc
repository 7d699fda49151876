#include "queue/queue_state.h"

#include <algorithm>
#include <cstring>

#include "log_io/log_format.h"

namespace tarnwick {

uint32_t ConsumerNames::add(std::string_view name) {
  if (name.empty()) return 0;
  if (last_ != 0 && names_[last_ - 1].uses > 0 && names_[last_ - 1].text == name) {
    ++names_[last_ - 1].uses;
    return last_;
  }
  std::string key(name);
  auto found = ids_.find(key);
  if (found != ids_.end()) {
    ++names_[found->second - 1].uses;
    return last_ = found->second;
  }
  uint32_t id = 0;
  if (!free_.empty()) {
    id = free_.back();
    free_.pop_back();
  } else {
    names_.emplace_back();
    id = static_cast<uint32_t>(names_.size());
  }
  names_[id - 1] = Name{key, 1};
  ids_.emplace(std::move(key), id);
  return last_ = id;
}

void ConsumerNames::drop(uint32_t id) {
  if (id == 0 || id > names_.size() || names_[id - 1].uses == 0) return;
  Name& entry = names_[id - 1];
  if (--entry.uses > 0) return;
  ids_.erase(entry.text);
  std::string().swap(entry.text);
  free_.push_back(id);
}

std::string_view ConsumerNames::name(uint32_t id) const {
  if (id == 0 || id > names_.size()) return {};
  return names_[id - 1].text;
}

void QueueState::forget_lease(uint64_t seq) {
  auto facts = lease_facts.find(seq);
  if (facts == lease_facts.end()) return;
  consumers.drop(facts->second.consumer);
  lease_facts.erase(facts);
}

void QueueState::apply_enqueue(uint64_t seq, uint64_t ts_ms, std::span<const uint8_t> body,
                               uint64_t frame_offset, bool keep_body) {
  if (seq >= next_seq && !seq_exhausted) {
    // The largest id taken leaves none to hand out; next_seq stays there.
    seq_exhausted = seq == UINT64_MAX;
    next_seq = seq_exhausted ? seq : seq + 1;
  }
  live_bytes += body.size() + ENQUEUE_FRAME_OVERHEAD;
  // New seqs are nearly always the largest: hinting the end skips the descent.
  ready.emplace_hint(ready.end(), seq);
  auto [it, inserted] = messages.try_emplace(seq);
  MessageEntry& entry = it->second;
  if (!inserted) {
    // A second ENQUEUE of a live seq (never written by this system) replaces
    // the message: it is ready only, and its old bytes are no longer live.
    in_flight.erase(seq);
    forget_lease(seq);
    live_bytes -= std::min<uint64_t>(live_bytes, entry.body_len + ENQUEUE_FRAME_OVERHEAD);
  }
  entry.body.reset();
  if (keep_body && !body.empty()) {
    entry.body.reset(new uint8_t[body.size()]);
    std::memcpy(entry.body.get(), body.data(), body.size());
  }
  entry.body_len = static_cast<uint32_t>(body.size());
  entry.enqueued_ts_ms = ts_ms;
  entry.body_offset = frame_offset + ENQUEUE_FRAME_OVERHEAD;
  entry.deliveries = 0;
  ++enqueued_total;
}

void QueueState::apply_remove(uint64_t seq, bool dead) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  const uint64_t bytes = uint64_t{it->second.body_len} + ENQUEUE_FRAME_OVERHEAD;
  live_bytes = live_bytes > bytes ? live_bytes - bytes : 0;
  messages.erase(it);
  ready.erase(seq);
  in_flight.erase(seq);
  forget_lease(seq);
  ++(dead ? dead_total : acked_total);
}

void QueueState::apply_lease(uint64_t seq, uint64_t deadline_ms, uint32_t deliveries,
                             const RecordView* details) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  it->second.deliveries = deliveries;
  if (details != nullptr && details->details) {
    // The new name is counted before the old one is let go, so that a
    // renewal by the same consumer keeps its name where it is.
    const uint32_t consumer = consumers.add(details->consumer);
    LeaseFacts& facts = lease_facts[seq];
    consumers.drop(facts.consumer);
    facts = LeaseFacts{details->started_ms, details->extensions, consumer};
  } else {
    forget_lease(seq);
  }
  ready.erase(seq);
  in_flight[seq] = deadline_ms;
  lease_heap.emplace(deadline_ms, seq);
}

void QueueState::apply_requeue(uint64_t seq, uint32_t deliveries) {
  auto it = messages.find(seq);
  if (it == messages.end()) return;
  it->second.deliveries = deliveries;
  in_flight.erase(seq);
  forget_lease(seq);
  ready.insert(seq);
  ++requeued_total;
}

void QueueState::apply(const Record& record, uint64_t frame_offset, bool keep_body) {
  std::visit(
      [&](const auto& r) {
        using T = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<T, EnqueueRecord>) {
          apply_enqueue(r.seq, r.enqueued_ts_ms, r.body, frame_offset, keep_body);
        } else if constexpr (std::is_same_v<T, AckRecord>) {
          apply_remove(r.seq, false);
        } else if constexpr (std::is_same_v<T, LeaseRecord>) {
          if (r.details) {
            RecordView view = RecordView::lease(r.seq, r.deadline_ms, r.deliveries,
                                                r.details->started_ms, r.details->extensions,
                                                r.details->consumer);
            apply_lease(r.seq, r.deadline_ms, r.deliveries, &view);
          } else {
            apply_lease(r.seq, r.deadline_ms, r.deliveries);
          }
        } else if constexpr (std::is_same_v<T, RequeueRecord>) {
          apply_requeue(r.seq, r.deliveries);
        } else {
          apply_remove(r.seq, true);
        }
      },
      record);
}

void QueueState::apply(const RecordView& view, uint64_t frame_offset, bool keep_body) {
  switch (view.tag) {
    case ENQUEUE: return apply_enqueue(view.seq, view.time_ms, view.body, frame_offset, keep_body);
    case ACK: return apply_remove(view.seq, false);
    case LEASE: return apply_lease(view.seq, view.time_ms, view.deliveries, &view);
    case REQUEUE: return apply_requeue(view.seq, view.deliveries);
    case DEAD: return apply_remove(view.seq, true);
  }
}

}  // namespace tarnwick
