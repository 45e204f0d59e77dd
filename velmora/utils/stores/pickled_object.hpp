#pragma once
// A value kept in a file: a store of the node. The file holds the value as JSON through its
// StoreCodec, except that a Bytes value is kept as the bytes themselves. Every write replaces the
// file atomically (a temporary file in the same folder, fsync, rename), with mode 0600.
//
// The live value sits behind the store's mutex: reach it through with() and snapshot(); dump()
// writes under the same mutex. Every member may be called from any thread. Not copyable.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/stores/store_codec.hpp"
#include "velmora/utils/stores/store_file.hpp"
#include "velmora/utils/text/json_reader.hpp"

namespace velmora::utils {

template <class T>
class PickledObject {
 public:
  // Reads file when it exists; otherwise makes the value with factory and writes the file at
  // once. Temporary files that an interrupted dump of file left beside it are removed first.
  // Throws ValueError naming the file when it exists but cannot be read back (it is left
  // untouched), OSError when it cannot be read or written.
  PickledObject(std::filesystem::path file, const std::function<T()>& factory)
      : file_(std::move(file)), obj_(load(file_, factory)) {}

  PickledObject(const PickledObject&) = delete;
  PickledObject& operator=(const PickledObject&) = delete;

  const std::filesystem::path& file() const noexcept { return file_; }

  // Calls fn with the live value under the store's mutex and returns what fn returns. fn must not
  // call this store, nor keep a reference to the value beyond its return.
  template <class Fn>
  decltype(auto) with(Fn&& fn) {
    std::lock_guard lock(mutex_);
    return std::invoke(std::forward<Fn>(fn), obj_);
  }
  template <class Fn>
  decltype(auto) with(Fn&& fn) const {
    std::lock_guard lock(mutex_);
    return std::invoke(std::forward<Fn>(fn), std::as_const(obj_));
  }

  // A copy of the live value.
  T snapshot() const {
    std::lock_guard lock(mutex_);
    return obj_;
  }

  // Writes the live value to the file, replacing what was there. Throws ValueError naming the
  // file when the value holds what cannot be stored, OSError when the file cannot be written; the
  // file then keeps its previous content.
  void dump() {
    std::lock_guard lock(mutex_);
    write(file_, obj_);
    ++dumps_;
  }

  // How many dump() calls have written the file (the write made at construction not counted).
  std::size_t dump_count() const {
    std::lock_guard lock(mutex_);
    return dumps_;
  }

  // Removes the file; the live value stays as it is, and the next dump writes the file again.
  // Throws OSError when it cannot be removed, a missing file included.
  void remove_file() {
    std::lock_guard lock(mutex_);
    if (::unlink(file_.c_str()) != 0) throw OSError(errno, file_);
  }

  // Loads the value again, as the constructor does: from the file when it exists, else from
  // factory, writing the file. prepare, when given, sees the new value before it becomes the live
  // one. The store stays the same object; on any failure the live value is left as it was.
  void reload(const std::function<T()>& factory,
              const std::function<void(T&)>& prepare = nullptr) {
    std::lock_guard lock(mutex_);
    T value = load(file_, factory);
    if (prepare) prepare(value);
    obj_ = std::move(value);
  }

 private:
  static void write(const std::filesystem::path& file, const T& value) {
    store_file::Replacement next(file);
    if constexpr (std::is_same_v<T, Bytes>) {
      next.append(value.view());
    } else {
      JsonWriter out([&](std::string_view text) { next.append(text); });
      try {
        StoreCodec<T>::write(out, value);
      } catch (const ValueError& cause) {
        store_file::throw_unwritable(file, cause);
      }
      out.flush();
    }
    next.commit();
  }

  static T load(const std::filesystem::path& file, const std::function<T()>& factory) {
    store_file::remove_leftovers(file);
    std::optional<std::string> content = store_file::read(file, simdjson::SIMDJSON_PADDING);
    if (!content) {
      T value = factory();
      write(file, value);
      return value;
    }
    if constexpr (std::is_same_v<T, Bytes>) {
      return Bytes(std::move(*content));
    } else {
      try {
        JsonReader reader;
        return StoreCodec<T>::read(reader.read(*content));
      } catch (const std::exception& cause) {
        store_file::throw_unreadable(file, cause);
      }
    }
  }

  const std::filesystem::path file_;
  mutable std::mutex mutex_;  // guards obj_ and the writes of file_
  T obj_;
  std::size_t dumps_ = 0;  // guarded by mutex_
};

}  // namespace velmora::utils
