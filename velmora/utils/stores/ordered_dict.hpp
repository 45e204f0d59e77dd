#pragma once
// A dictionary that keeps its keys in insertion order: a key set again keeps its place, a key
// removed and set again goes last. Lookup, insertion and removal take logarithmic time; keys need
// operator<. Like a standard container: const members may be called from many threads at once,
// a change needs outside synchronisation.

#include <cstddef>
#include <initializer_list>
#include <list>
#include <map>
#include <utility>

namespace velmora::utils {

template <class Key, class T>
class OrderedDict {
 public:
  using key_type = Key;
  using mapped_type = T;
  using value_type = std::pair<const Key, T>;
  using iterator = typename std::list<value_type>::iterator;
  using const_iterator = typename std::list<value_type>::const_iterator;

  OrderedDict() = default;
  OrderedDict(std::initializer_list<value_type> entries) {
    for (const auto& [key, value] : entries) insert_or_assign(key, value);
  }
  OrderedDict(const OrderedDict& other) {
    for (const auto& [key, value] : other) append(key, value);
  }
  OrderedDict& operator=(const OrderedDict& other) {
    if (this != &other) *this = OrderedDict(other);
    return *this;
  }
  // Moving a list keeps its iterators valid, so the index moves along unchanged.
  OrderedDict(OrderedDict&&) = default;
  OrderedDict& operator=(OrderedDict&&) = default;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  iterator begin() noexcept { return entries_.begin(); }
  iterator end() noexcept { return entries_.end(); }
  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }

  iterator find(const Key& key) {
    const auto found = index_.find(&key);
    return found == index_.end() ? end() : found->second;
  }
  const_iterator find(const Key& key) const {
    const auto found = index_.find(&key);
    return found == index_.end() ? end() : const_iterator(found->second);
  }
  bool contains(const Key& key) const { return index_.contains(&key); }

  // The value of key, inserted last as T() when missing.
  T& operator[](const Key& key) {
    const auto found = index_.find(&key);
    return found != index_.end() ? found->second->second : append(key, T())->second;
  }

  // Sets key to value; true when the key was new (and so went last).
  bool insert_or_assign(const Key& key, T value) {
    const auto found = index_.find(&key);
    if (found != index_.end()) {
      found->second->second = std::move(value);
      return false;
    }
    append(key, std::move(value));
    return true;
  }

  // Removes key; the number of entries removed (0 or 1).
  std::size_t erase(const Key& key) {
    const auto found = index_.find(&key);
    if (found == index_.end()) return 0;
    const iterator entry = found->second;
    index_.erase(found);
    entries_.erase(entry);
    return 1;
  }

  void clear() noexcept {
    index_.clear();
    entries_.clear();
  }

  // Equal when both hold equal entries in the same order.
  friend bool operator==(const OrderedDict& a, const OrderedDict& b) {
    return a.entries_ == b.entries_;
  }

 private:
  iterator append(const Key& key, T value) {
    const auto entry = entries_.emplace(entries_.end(), key, std::move(value));
    try {
      index_.emplace(&entry->first, entry);
    } catch (...) {
      entries_.erase(entry);
      throw;
    }
    return entry;
  }

  // Orders the index by the keys it points to.
  struct KeyLess {
    bool operator()(const Key* a, const Key* b) const { return *a < *b; }
  };

  std::list<value_type> entries_;  // in insertion order
  // Every key of entries_, to its entry; each points to the key in its entry, whose node stays
  // in place until the entry goes.
  std::map<const Key*, iterator, KeyLess> index_;
};

}  // namespace velmora::utils
