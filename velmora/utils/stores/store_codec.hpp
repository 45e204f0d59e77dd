#pragma once
// How a stored value is written as JSON and read back. StoreCodec<T> holds
//   static void write(JsonWriter& out, const T& value);
//   static T read(const Value& value);  // ValueError when the value has another shape
//
// Built in: text; Bytes (their b2s text); Value (as it is); std::vector (a list); std::set (a
// sorted list); std::pair (a two-element list); std::variant (read as the first alternative that
// reads, so the alternatives must write different shapes); OrderedDict (a list of [key, value]
// entries in order); and std::shared_ptr<R> of every StatefulRecord R. Another type plugs in
// through a specialisation of StoreCodec.

#include <concepts>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "velmora/utils/argument_check.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_writer.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::utils {

template <class T>
struct StoreCodec;

// A record kept whole in a store: `static std::shared_ptr<R> from_state(const Value&)` rebuilds
// it, and either `void get_state(JsonWriter&) const` writes its state (the fast way, for large
// stores) or `Value get_state() const` returns it.
template <class R>
concept StatefulRecord =
    (requires(const R& record, JsonWriter& out) { record.get_state(out); } ||
     requires(const R& record) {
       { record.get_state() } -> std::convertible_to<Value>;
     }) &&
    requires(const Value& state) {
      { R::from_state(state) } -> std::convertible_to<std::shared_ptr<R>>;
    };

namespace store_codec {

// Throws ValueError "expected <kind>, found <type of value>" unless ok.
inline void expect(bool ok, std::string_view kind, const Value& value) {
  if (!ok) throw ValueError("expected " + std::string(kind) + ", found " +
                            std::string(type_name(value)));
}

template <class T>
void write(JsonWriter& out, const T& value) {
  StoreCodec<T>::write(out, value);
}

template <class T>
T read(const Value& value) {
  return StoreCodec<T>::read(value);
}

// A container as the list of its items in its own order (a set's is sorted).
template <class Container>
struct ListCodec {
  static void write(JsonWriter& out, const Container& items) {
    out.begin_list();
    for (const auto& item : items) store_codec::write(out, item);
    out.end_list();
  }
  static Container read(const Value& value) {
    expect(value.is_array(), "list", value);
    Container items;
    for (const Value& item : value)
      items.insert(items.end(), store_codec::read<typename Container::value_type>(item));
    return items;
  }
};

}  // namespace store_codec

template <>
struct StoreCodec<std::string> {
  static void write(JsonWriter& out, const std::string& text) { out.text(text); }
  static std::string read(const Value& value) {
    store_codec::expect(value.is_string(), "str", value);
    return value.get<std::string>();
  }
};

template <>
struct StoreCodec<Bytes> {
  static void write(JsonWriter& out, const Bytes& bytes) { out.text(b2s(bytes)); }
  static Bytes read(const Value& value) {
    store_codec::expect(value.is_string(), "bytes as text", value);
    return s2b(value.get_ref<const std::string&>());
  }
};

template <>
struct StoreCodec<Value> {
  static void write(JsonWriter& out, const Value& value) { out.value(value); }
  static Value read(const Value& value) { return value; }
};

template <class T>
struct StoreCodec<std::vector<T>> : store_codec::ListCodec<std::vector<T>> {};

template <class T>
struct StoreCodec<std::set<T>> : store_codec::ListCodec<std::set<T>> {};

template <class A, class B>
struct StoreCodec<std::pair<A, B>> {
  static void write(JsonWriter& out, const std::pair<A, B>& pair) {
    out.begin_list();
    store_codec::write(out, pair.first);
    store_codec::write(out, pair.second);
    out.end_list();
  }
  static std::pair<A, B> read(const Value& value) {
    store_codec::expect(value.is_array() && value.size() == 2, "a list of two", value);
    return {store_codec::read<A>(value[0]), store_codec::read<B>(value[1])};
  }
};

template <class... Ts>
struct StoreCodec<std::variant<Ts...>> {
  using Variant = std::variant<Ts...>;

  static void write(JsonWriter& out, const Variant& variant) {
    std::visit([&](const auto& item) { store_codec::write(out, item); }, variant);
  }
  static Variant read(const Value& value) {
    std::optional<Variant> decoded;
    (try_read<Ts>(value, decoded) || ...);
    if (!decoded)
      throw ValueError("no alternative matches the stored " + std::string(type_name(value)));
    return std::move(*decoded);
  }

 private:
  template <class T>
  static bool try_read(const Value& value, std::optional<Variant>& decoded) {
    try {
      decoded.emplace(std::in_place_type<T>, store_codec::read<T>(value));
      return true;
    } catch (const Error&) {
      return false;
    }
  }
};

template <class K, class V>
struct StoreCodec<OrderedDict<K, V>> {
  static void write(JsonWriter& out, const OrderedDict<K, V>& dict) {
    out.begin_list();
    for (const auto& [key, value] : dict) {
      out.begin_list();
      store_codec::write(out, key);
      store_codec::write(out, value);
      out.end_list();
    }
    out.end_list();
  }
  static OrderedDict<K, V> read(const Value& value) {
    store_codec::expect(value.is_array(), "a list of entries", value);
    OrderedDict<K, V> dict;
    for (const Value& entry : value) {
      store_codec::expect(entry.is_array() && entry.size() == 2, "a [key, value] entry", entry);
      dict.insert_or_assign(store_codec::read<K>(entry[0]), store_codec::read<V>(entry[1]));
    }
    return dict;
  }
};

template <StatefulRecord R>
struct StoreCodec<std::shared_ptr<R>> {
  static void write(JsonWriter& out, const std::shared_ptr<R>& record) {
    if (!record) throw ValueError("a store cannot hold an empty record");
    if constexpr (requires { record->get_state(out); }) {
      record->get_state(out);
    } else {
      out.value(record->get_state());
    }
  }
  static std::shared_ptr<R> read(const Value& state) { return R::from_state(state); }
};

}  // namespace velmora::utils
