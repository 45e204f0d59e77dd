#include "endpoint_fixture.hpp"

#include "velmora/networking/device_table.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/result_json.hpp"

namespace velmora::daemon {
namespace {

std::string name_of(const std::string& id) {
  if (id == model::kNodeId) return "N";
  if (id == networking::kDeviceId) return "D";
  if (id == networking::kPeerId) return "P";
  return id;
}

}  // namespace

EndpointFixture::EndpointFixture() {
  lay_down_node_identity();
  log_in();
  headers_ = bearer(access_token());
  exchanges_seen_ = backend_.exchanges().size();
}

void EndpointFixture::list_devices() {
  node().network()->register_(*node().device());
  make_network()->register_(*device_);
  make_peer_network()->register_(*peer_device_);
  node().network()->update_devices();
}

utils::Value EndpointFixture::profile(const std::string& id) {
  return networking::device_of(*node().network()->devices(), utils::s2b(id)).info();
}

Lines EndpointFixture::exchanges() {
  const std::vector<testing::FakeBackend::Exchange> taken = backend_.exchanges();
  Lines lines;
  for (std::size_t i = exchanges_seen_; i < taken.size(); ++i) {
    const testing::FakeBackend::Exchange& step = taken[i];
    std::string line = name_of(step.from);
    if (step.kind == testing::FakeBackend::Exchange::Kind::package) {
      line += " -> " + name_of(step.ids.front()) + " " + step.word;
      if (!step.group.empty()) line += " " + step.group;
    } else {
      line += " " + step.word + " " + step.group;
      if (!step.ids.empty()) {
        std::string ids;
        for (const std::string& id : step.ids) ids += (ids.empty() ? "" : ", ") + name_of(id);
        line += " [" + ids + "]";
      }
      if (step.refused) line += " refused";
    }
    lines.push_back(line);
  }
  exchanges_seen_ = taken.size();
  return lines;
}

void expect_triple(const httplib::Result& result, bool success, const std::string& message) {
  expect_answer(result, 200, kJson, utils::string_to_result_json(success, 0, message));
}

void expect_triple(const httplib::Result& result, const std::string& message,
                   const std::string& field, const utils::Value& value) {
  expect_answer(result, 200, kJson, utils::string_to_result_json(true, 0, message, field, value));
}

void expect_failure(const httplib::Result& result, const std::string& message) {
  expect_answer(result, 500, kJson, utils::string_to_result_json(false, -1, message));
}

}  // namespace velmora::daemon
