#pragma once
// The steps of the protocols on the node's stores (the model's own sources): each test or change
// is one step under the store's own lock, and a change is written back at once, before the next
// step. Whatever a store's dump throws propagates.

#include <utility>

#include "velmora/model/stores.hpp"

namespace velmora::model {

template <class T, class Key>
bool holds(Store<T>& store, const Key& key) {
  return store.with([&](const T& held) { return held.contains(key); });
}

// Adds key to a set and writes it back, also when key was there already.
template <class T, class Key>
void add(Store<T>& store, const Key& key) {
  store.with([&](T& held) { held.insert(key); });
  store.dump();
}

// Sets key of a dictionary to value (a key set again keeps its place) and writes it back.
template <class T, class Key, class Value>
void assign(Store<T>& store, const Key& key, Value value) {
  store.with([&](T& held) { held.insert_or_assign(key, std::move(value)); });
  store.dump();
}

// Removes key and writes the store back when it was there; tells whether it was.
template <class T, class Key>
bool remove(Store<T>& store, const Key& key) {
  if (!store.with([&](T& held) { return held.erase(key) == 1; })) return false;
  store.dump();
  return true;
}

}  // namespace velmora::model
