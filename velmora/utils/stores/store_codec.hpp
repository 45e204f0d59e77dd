#pragma once
// How a stored value is written as JSON and read back. StoreCodec<T> holds
//   static void write(JsonWriter& out, const T& value);
//   static T read(simdjson::dom::element value);  // ValueError when it has another shape
// Reading goes straight from the parsed document to the value, with no Value tree between.
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
#include "velmora/utils/text/json_reader.hpp"
#include "velmora/utils/text/json_writer.hpp"
#include "velmora/utils/stores/ordered_dict.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::utils {

template <class T>
struct StoreCodec;

// A record kept whole in a store. Either `void get_state(JsonWriter&) const` writes its state
// (the fast way, for large stores) or `Value get_state() const` returns it; and either
// `static std::shared_ptr<R> from_state(simdjson::dom::element)` rebuilds it from the stored
// element (the fast way) or `static std::shared_ptr<R> from_state(const Value&)` from its Value.
template <class R>
concept ReadFromValue = requires(const Value& state) {
  { R::from_state(state) } -> std::convertible_to<std::shared_ptr<R>>;
};
template <class R>
concept StatefulRecord =
    (requires(const R& record, JsonWriter& out) { record.get_state(out); } ||
     requires(const R& record) {
       { record.get_state() } -> std::convertible_to<Value>;
     }) &&
    (ReadFromValue<R> || requires(simdjson::dom::element state) {
      { R::from_state(state) } -> std::convertible_to<std::shared_ptr<R>>;
    });

namespace store_codec {

using Element = simdjson::dom::element;

// Throws ValueError "expected <kind>, found <type of value>" unless ok.
inline void expect(bool ok, std::string_view kind, Element value) {
  if (!ok) throw ValueError("expected " + std::string(kind) + ", found " +
                            std::string(type_name(value)));
}

// The element as a list, text or two-element list, or ValueError "expected <kind>, ...".
inline simdjson::dom::array list(Element value, std::string_view kind) {
  simdjson::dom::array items;
  expect(!value.get_array().get(items), kind, value);
  return items;
}
inline std::string_view text(Element value, std::string_view kind) {
  std::string_view text;
  expect(!value.get_string().get(text), kind, value);
  return text;
}
inline std::pair<Element, Element> two(Element value, std::string_view kind) {
  const simdjson::dom::array items = list(value, kind);
  expect(items.size() == 2, kind, value);
  auto item = items.begin();
  const Element first = *item;
  return {first, *++item};
}

template <class T>
void write(JsonWriter& out, const T& value) {
  StoreCodec<T>::write(out, value);
}

template <class T>
T read(Element value) {
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
  static Container read(Element value) {
    Container items;
    for (const Element item : list(value, "list"))
      items.insert(items.end(), store_codec::read<typename Container::value_type>(item));
    return items;
  }
};

}  // namespace store_codec

template <>
struct StoreCodec<std::string> {
  static void write(JsonWriter& out, const std::string& text) { out.text(text); }
  static std::string read(store_codec::Element value) {
    return std::string(store_codec::text(value, "str"));
  }
};

template <>
struct StoreCodec<Bytes> {
  static void write(JsonWriter& out, const Bytes& bytes) { out.text(b2s(bytes)); }
  static Bytes read(store_codec::Element value) {
    return s2b(store_codec::text(value, "bytes as text"));
  }
};

template <>
struct StoreCodec<Value> {
  static void write(JsonWriter& out, const Value& value) { out.value(value); }
  static Value read(store_codec::Element value) { return value_of(value); }
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
  static std::pair<A, B> read(store_codec::Element value) {
    const auto [first, second] = store_codec::two(value, "a list of two");
    return {store_codec::read<A>(first), store_codec::read<B>(second)};
  }
};

template <class... Ts>
struct StoreCodec<std::variant<Ts...>> {
  using Variant = std::variant<Ts...>;

  static void write(JsonWriter& out, const Variant& variant) {
    std::visit([&](const auto& item) { store_codec::write(out, item); }, variant);
  }
  static Variant read(store_codec::Element value) {
    std::optional<Variant> decoded;
    (try_read<Ts>(value, decoded) || ...);
    if (!decoded)
      throw ValueError("no alternative matches the stored " + std::string(type_name(value)));
    return std::move(*decoded);
  }

 private:
  template <class T>
  static bool try_read(store_codec::Element value, std::optional<Variant>& decoded) {
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
  static OrderedDict<K, V> read(store_codec::Element value) {
    OrderedDict<K, V> dict;
    for (const store_codec::Element entry : store_codec::list(value, "a list of entries")) {
      const auto [key, item] = store_codec::two(entry, "a [key, value] entry");
      dict.insert_or_assign(store_codec::read<K>(key), store_codec::read<V>(item));
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
  static std::shared_ptr<R> read(store_codec::Element state) {
    if constexpr (ReadFromValue<R>)
      return R::from_state(value_of(state));
    else
      return R::from_state(state);
  }
};

}  // namespace velmora::utils
