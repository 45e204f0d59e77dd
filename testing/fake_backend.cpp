#include "testing/fake_backend.hpp"

#include <algorithm>
#include <array>
#include <fstream>
#include <string_view>

#include "testing/package_label_reading.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/text/literal_text.hpp"

namespace velmora::testing {
namespace {

using utils::Value;

constexpr std::string_view kStoragePrefix = "/storage/";

// The backend's endpoint table, as the backend serves it.
constexpr std::array<std::string_view, 10> kEndpointPaths{
    "/registry/register",      "/registry/unregister",      "/lobby/selfstatus",
    "/list/users",             "/list/user",                "/transfer/sendfilereq",
    "/transfer/sendfilecom",   "/transfer/receivefilereq",  "/transfer/receivefilecom",
    "/group/function",
};

bool is_endpoint(std::string_view path) {
  return std::find(kEndpointPaths.begin(), kEndpointPaths.end(), path) != kEndpointPaths.end();
}

Answer invalid(int code, const char* msg) {
  return FakeBackend::backend_answer({{"valid", false}, {"code", code}, {"msg", msg}});
}

Answer done(Value members = Value::object()) {
  Value answer = {{"valid", true}, {"code", 0}, {"msg", "OK"}};
  for (auto& [key, value] : members.items()) answer[key] = std::move(value);
  return FakeBackend::backend_answer(answer);
}

// The text member key of body, or empty.
std::string text(const Value& body, const char* key) {
  const auto found = body.find(key);
  return found != body.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// body's members without "sig", in ascending key order.
Value signed_members(const Value& body) {
  std::map<std::string, const Value*> members;
  for (const auto& [key, value] : body.items())
    if (key != "sig") members.emplace(key, &value);
  Value sorted = Value::object();
  for (const auto& [key, value] : members) sorted[key] = *value;
  return sorted;
}

// Whether body's "sig" is key's signature of the literal text of its other members, sorted.
bool signature_is_valid(const Value& body, const sealcraft::PublicKey& key) {
  const auto sig = body.find("sig");
  if (sig == body.end() || !sig->is_string()) return false;
  try {
    return key.verify(utils::Bytes(utils::literal_text(signed_members(body))),
                      utils::s2b(sig->get<std::string>()));
  } catch (const utils::ValueError&) {
    return false;  // a "sig" that is no b2s text
  }
}

// The public key a registration carries, or null.
std::shared_ptr<const sealcraft::PublicKey> registered_key(const Value& body) {
  try {
    return sealcraft::PublicKey::import_key(utils::s2b(text(body, "public_key")));
  } catch (const utils::ValueError&) {
    return nullptr;
  }
}

// The ids of a group request's "uuid_list", JSON text of a list of texts.
std::vector<std::string> uuid_list(const Value& body) {
  std::vector<std::string> ids;
  try {
    const Value list = utils::parse_json(text(body, "uuid_list"));
    for (const Value& id : list)
      if (id.is_string()) ids.push_back(id.get<std::string>());
  } catch (const utils::ValueError&) {
  }
  return ids;
}

void remove_id(std::vector<std::string>& ids, const std::string& id) { std::erase(ids, id); }

}  // namespace

FakeBackend::FakeBackend(const TlsFiles& tls)
    : server_(tls, [this](const RecordedRequest& request) { return route(request); },
              FileStore{std::string(kStoragePrefix), storage_.path()}) {}

void FakeBackend::set_refresh_token(const std::string& refresh_token,
                                    const std::string& access_token) {
  std::lock_guard lock(mutex_);
  access_tokens_[refresh_token] = access_token;
}

void FakeBackend::expire_access_token(const std::string& access_token) {
  std::lock_guard lock(mutex_);
  expired_tokens_.insert(access_token);
}

void FakeBackend::set_device_key(const std::string& uuid,
                                 std::shared_ptr<const sealcraft::PublicKey> key) {
  std::lock_guard lock(mutex_);
  device_keys_[uuid] = std::move(key);
}

void FakeBackend::deliver(const std::string& uuid, const std::string& filename,
                          const std::filesystem::path& file) {
  std::lock_guard lock(mutex_);
  Transfer delivery{new_transfer_id(), "", uuid, filename};
  std::filesystem::copy_file(file, storage_.path() / delivery.id);
  queues_[uuid].push_back(std::move(delivery));
}

std::size_t FakeBackend::queued(const std::string& uuid) const {
  std::lock_guard lock(mutex_);
  const auto queue = queues_.find(uuid);
  return queue == queues_.end() ? 0 : queue->second.size();
}

std::size_t FakeBackend::stored_files() const {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(storage_.path()))
    count += entry.path().extension() != ".partial";
  return count;
}

std::vector<FakeBackend::Exchange> FakeBackend::exchanges() const {
  std::lock_guard lock(mutex_);
  return exchanges_;
}

void FakeBackend::refuse_group_call(const std::string& call) {
  std::lock_guard lock(mutex_);
  refused_calls_.insert(call);
}

Answer FakeBackend::token_expired() {
  return {401, Value{{"code", "token_expired"}, {"description", "Token expired"}}.dump()};
}

Answer FakeBackend::backend_answer(const Value& members) { return {200, members.dump()}; }

void FakeBackend::record_to(const std::filesystem::path& folder) {
  std::filesystem::create_directories(folder / "packages");
  std::lock_guard lock(record_mutex_);
  record_folder_ = folder;
}

void FakeBackend::append_record(const char* name, const std::string& line) {
  std::lock_guard lock(record_mutex_);
  if (record_folder_.empty()) return;
  std::ofstream(record_folder_ / name, std::ios::binary | std::ios::app) << line + "\n";
}

void FakeBackend::record_package(const Transfer& upload) {
  std::filesystem::path copy;
  {
    std::lock_guard lock(record_mutex_);
    if (record_folder_.empty()) return;
    copy = record_folder_ / "packages" / std::to_string(++packages_recorded_);
  }
  std::filesystem::copy_file(storage_.path() / upload.id, copy);
  append_record("packages.jsonl", Value{{"from", upload.from},
                                        {"to", upload.to},
                                        {"filename", upload.filename},
                                        {"file", copy.string()}}
                                      .dump());
}

Answer FakeBackend::route(const RecordedRequest& request) {
  append_record("requests.jsonl",
                Value{{"method", request.method}, {"path", request.path}, {"body", request.body}}
                    .dump(-1, ' ', false, Value::error_handler_t::replace));
  if (request.method != "POST") return {405, "Method Not Allowed", "text/plain"};
  const std::string_view path = request.path;
  if (path == "/refresh/token" || path.ends_with("/refresh/token")) return refresh_token(request);
  if (is_endpoint(path)) return signed_request(request);
  return {404, "Not Found", "text/plain"};
}

Answer FakeBackend::refresh_token(const RecordedRequest& request) {
  Value body;
  try {
    body = utils::parse_json(request.body);
  } catch (const utils::ValueError&) {
    return {400, "The body is not JSON", "text/plain"};
  }
  const std::string refresh = body.is_object() ? text(body, "refresh_token") : std::string();
  std::lock_guard lock(mutex_);
  const auto found = access_tokens_.find(refresh);
  if (refresh.empty() || found == access_tokens_.end())
    return {401, "Unknown refresh token", "text/plain"};
  return {200, found->second, "text/plain"};
}

Answer FakeBackend::signed_request(const RecordedRequest& request) {
  const std::string token = request.bearer_token();
  if (token.empty()) {
    return {401, Value{{"code", "authorization_header_missing"},
                       {"description", "Authorization header is expected"}}
                     .dump()};
  }
  Value body;
  try {
    body = utils::parse_json(request.body);
  } catch (const utils::ValueError&) {
    return {400, "The body is not JSON", "text/plain"};
  }
  if (!body.is_object()) return {400, "The body is not a JSON object", "text/plain"};

  const std::string uuid = text(body, "uuid");
  // A registration is checked against the key it carries, which the backend then keeps.
  std::shared_ptr<const sealcraft::PublicKey> key;
  if (request.path == "/registry/register") key = registered_key(body);
  {
    std::lock_guard lock(mutex_);
    if (expired_tokens_.contains(token)) return token_expired();
    if (const auto found = device_keys_.find(uuid); !key && found != device_keys_.end())
      key = found->second;
  }
  if (!key) return invalid(3, "Unknown device");
  if (!signature_is_valid(body, *key)) return invalid(2, "Invalid signature");

  std::lock_guard lock(mutex_);
  if (request.path == "/registry/register") device_keys_[uuid] = key;
  return serve(request.path, body);
}

Answer FakeBackend::serve(const std::string& path, const Value& body) {
  if (path.starts_with("/registry/") || path == "/lobby/selfstatus") return registry(path, body);
  if (path == "/list/users") return device_list();
  if (path.starts_with("/transfer/")) return transfer(path, body);
  if (path == "/group/function") return group(body);
  return done();
}

Answer FakeBackend::registry(const std::string& path, const Value& body) {
  const std::string uuid = text(body, "uuid");
  auto [device, is_new] = devices_.try_emplace(uuid);
  if (is_new) device_order_.push_back(uuid);
  Device& record = device->second;
  if (path == "/registry/register") {
    // What other devices see of the registration: neither signature nor password.
    record.profile = signed_members(body);
    record.profile.erase("password");
    record.registered = true;
  } else if (path == "/registry/unregister") {
    record.registered = false;
  } else {
    const std::string status = text(body, "status_type");
    if (status != "ONLINE" && status != "OFFLINE") return invalid(5, "Unknown status");
    record.status = status;
  }
  return done();
}

Answer FakeBackend::device_list() const {
  Value users = Value::array();
  for (const std::string& uuid : device_order_) {
    const Device& device = devices_.at(uuid);
    if (!device.registered) continue;
    users.push_back({{"userid", uuid},
                     {"public_key", text(device.profile, "public_key")},
                     {"status", device.status},
                     {"name", text(device.profile, "hostname")},
                     {"profile", utils::literal_text(device.profile)}});
  }
  return done({{"users_dict", std::move(users)}});
}

Answer FakeBackend::transfer(const std::string& path, const Value& body) {
  const std::string uuid = text(body, "uuid");
  const std::string filename = text(body, "file_to_share");
  if (path == "/transfer/sendfilereq") {
    Transfer upload{new_transfer_id(), uuid, text(body, "uuid_friend"), filename};
    const std::string url = storage_url(upload.id);
    // A log is complete once stored: the client sends no completion for it.
    if (text(body, "log") == "1")
      append_record("logs.jsonl", Value{{"from", uuid},
                                        {"to", upload.to},
                                        {"filename", filename},
                                        {"file", (storage_.path() / upload.id).string()}}
                                      .dump());
    uploads_.push_back(std::move(upload));
    return done({{"msg", url}});
  }
  if (path == "/transfer/sendfilecom") {
    const auto upload = std::find_if(uploads_.begin(), uploads_.end(), [&](const Transfer& t) {
      return t.from == uuid && t.to == text(body, "uuid_friend") && t.filename == filename &&
             std::filesystem::exists(storage_.path() / t.id);
    });
    if (upload == uploads_.end()) return invalid(6, "No upload to complete");
    record_package(*upload);
    const Value label = package_label(storage_.path() / upload->id);
    exchanges_.push_back({Exchange::Kind::package, upload->from,
                          label.is_object() ? text(label, "subject") : "",
                          label.is_object() ? text(label, "group") : "",
                          {upload->to}});
    queues_[upload->to].push_back(std::move(*upload));
    uploads_.erase(upload);
    return done();
  }
  auto& queue = queues_[uuid];
  if (queue.empty()) return invalid(4, "No files waiting");
  if (path == "/transfer/receivefilereq")
    return done({{"msg", storage_url(queue.front().id)}, {"filename", queue.front().filename}});
  if (path == "/transfer/receivefilecom" && filename == queue.front().filename) {
    std::filesystem::remove(storage_.path() / queue.front().id);
    queue.pop_front();
    return done();
  }
  return invalid(6, "No download to complete");
}

Answer FakeBackend::group(const Value& body) {
  Exchange call{Exchange::Kind::call, text(body, "uuid"), text(body, "call"), text(body, "group"),
                uuid_list(body)};
  Answer answer;
  if (const auto refusal = refused_calls_.find(call.word); refusal != refused_calls_.end()) {
    refused_calls_.erase(refusal);
    call.refused = true;
    answer = invalid(11, "Refused");
  } else {
    answer = group_service(body, call.refused);
  }
  exchanges_.push_back(std::move(call));
  return answer;
}

Answer FakeBackend::group_service(const Value& body, bool& refused) {
  const auto refuse = [&refused](int code, const char* msg) {
    refused = true;
    return invalid(code, msg);
  };
  const std::string uuid = text(body, "uuid");
  const std::string call = text(body, "call");
  const std::string name = text(body, "group");
  if (call == "create") {
    if (groups_.contains(name)) return refuse(7, "Group exists");
    groups_[name] = Group{uuid, text(body, "group_desc"), {uuid}, {}, {}};
    return done();
  }
  const auto found = groups_.find(name);
  if (found == groups_.end()) return refuse(8, "No such group");
  Group& group = found->second;
  const bool by_owner = group.owner == uuid;
  if (call == "sync") {
    return done({{"members_list", group.members},
                 {"owner", group.owner},
                 {"description", group.description}});
  }
  if ((call == "destroy" || call == "add" || call == "remove") && !by_owner)
    return refuse(9, "Not the group's owner");
  if (call == "destroy") {
    groups_.erase(found);
  } else if (call == "add" || call == "join") {
    std::set<std::string>& waiting = call == "add" ? group.joined : group.added;
    std::set<std::string>& asked = call == "add" ? group.added : group.joined;
    for (const std::string& id : uuid_list(body)) {
      if (std::find(group.members.begin(), group.members.end(), id) != group.members.end())
        continue;
      if (waiting.erase(id)) {
        group.members.push_back(id);
      } else {
        asked.insert(id);
      }
    }
  } else if (call == "leave" || call == "remove") {
    const std::vector<std::string> ids = call == "leave" ? std::vector{uuid} : uuid_list(body);
    for (const std::string& id : ids) {
      remove_id(group.members, id);
      group.added.erase(id);
      group.joined.erase(id);
    }
  } else {
    return refuse(10, "Unknown group call");
  }
  return done();
}

std::string FakeBackend::storage_url(const std::string& id) const {
  return url() + std::string(kStoragePrefix) + id;
}

std::string FakeBackend::new_transfer_id() {
  return std::string("t").append(std::to_string(++transfers_made_));
}

}  // namespace velmora::testing
