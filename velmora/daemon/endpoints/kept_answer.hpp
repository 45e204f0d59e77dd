#pragma once
// An endpoint's answer text kept while what it is made of stays the same: made by one request at
// a time, while the others that need it wait for it, and shared by every answer until its source
// changes. Used from many request threads at once.

#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "velmora/daemon/server/api_exchange.hpp"

namespace velmora::daemon {

// Source: what the text is made of, compared with ==; it is held with the text, so that a
// pointer in it cannot be taken by a later source.
template <class Source>
class KeptAnswer {
 public:
  // The text make(source) gives, made again only when source differs from the kept text's.
  template <class Make>
  KeptText of(Source source, Make&& make) {
    std::lock_guard lock(mutex_);
    if (!text_ || !(source == source_)) {
      text_.reset();  // the old text goes before the new one is made
      text_ = std::make_shared<const std::string>(std::forward<Make>(make)(source));
      source_ = std::move(source);
    }
    return text_;
  }

 private:
  std::mutex mutex_;
  Source source_;  // guarded by mutex_
  KeptText text_;  // guarded by mutex_
};

}  // namespace velmora::daemon
