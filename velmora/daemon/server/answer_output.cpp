#include "velmora/daemon/server/answer_output.hpp"

#include <utility>

namespace velmora::daemon {

void AnswerOutput::append(KeptText body) {
  if (body && !body->empty()) kept_.push_back({own_.size(), std::move(body)});
}

std::size_t AnswerOutput::size() const noexcept {
  std::size_t size = own_.size() - own_sent_;
  for (const Kept& kept : kept_) size += kept.body->size();
  return size - kept_sent_;
}

std::string_view AnswerOutput::unwritten() const noexcept {
  const std::string_view own(own_);
  if (kept_.empty()) return own.substr(own_sent_);
  const Kept& next = kept_.front();
  if (own_sent_ < next.after) return own.substr(own_sent_, next.after - own_sent_);
  return std::string_view(*next.body).substr(kept_sent_);
}

void AnswerOutput::written(std::size_t n) noexcept {
  if (!kept_.empty() && own_sent_ == kept_.front().after) {
    kept_sent_ += n;
    if (kept_sent_ == kept_.front().body->size()) {
      kept_.pop_front();
      kept_sent_ = 0;
    }
  } else {
    own_sent_ += n;
  }
  if (empty()) {
    own_.clear();
    own_sent_ = 0;
  }
}

}  // namespace velmora::daemon
