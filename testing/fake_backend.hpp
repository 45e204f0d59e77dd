#pragma once
// A fake of the backend server over real HTTPS. It serves the token route ("refresh/token" below
// any base path) and the ten endpoints of the backend's table. For those it checks the bearer
// token and each body's "sig" against the sending device's public key (by the literal text of the
// sorted members without "sig"): the key a device registered with, or one set by set_device_key.
// A request it cannot accept is answered with valid false and a non-zero code. Behind the check:
// - the registry and the lobby: each registered device with its profile and last status;
// - the device list: every registered device ("userid", "public_key", "status", "name", and the
//   literal text of its profile);
// - the transfer service: upload and download URLs on its own storage ("/storage/<id>", PUT and
//   GET streamed to and from files), a queue per device, the completion calls; an empty queue
//   answers the download request as invalid;
// - the group service: create, destroy, add, join, leave, remove, sync (a device is a member once
//   the owner has added it and it has joined, in either order; destroy, add and remove are the
//   owner's). A call of a given word can be refused.
// Any answer can be scripted per path (FakeHttpsServer::script); every request is recorded and
// counted, and the group-service calls it serves and the packages it passes on are logged in one
// order. Free of any test framework. Every member may be called from any thread.

#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "testing/fake_https_server.hpp"
#include "testing/scoped_folder.hpp"
#include "velmora/sealcraft/keys.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {

class FakeBackend {
 public:
  explicit FakeBackend(const TlsFiles& tls);

  // The token route answers access_token, as plain text, for this refresh token; an unknown one
  // gets 401.
  void set_refresh_token(const std::string& refresh_token, const std::string& access_token);
  // Requests that bear this token are answered 401 with the code "token_expired".
  void expire_access_token(const std::string& access_token);
  // The key that checks the signatures of the device whose id text ("uuid") is uuid, until it
  // registers with another.
  void set_device_key(const std::string& uuid, std::shared_ptr<const sealcraft::PublicKey> key);

  // Puts a copy of file at the end of the queue of device uuid, to be downloaded as filename: a
  // package that no client made.
  void deliver(const std::string& uuid, const std::string& filename,
               const std::filesystem::path& file);
  // How many files wait in the queue of device uuid.
  std::size_t queued(const std::string& uuid) const;
  // How many files the storage holds: uploads not yet downloaded and completed.
  std::size_t stored_files() const;

  // A group-service call served, or a package passed on (its upload completed).
  struct Exchange {
    enum class Kind { call, package };
    Kind kind = Kind::call;
    std::string from;              // the device id text of the caller or the sender
    std::string word;              // the call word, or the package's subject
    std::string group;             // the call's "group", or the package's label "group", or ""
    std::vector<std::string> ids;  // the call's "uuid_list", or the package's destination alone
    bool refused = false;          // the call was answered as invalid
  };
  // The exchanges so far, in the order the backend took them. A scripted answer is none.
  std::vector<Exchange> exchanges() const;
  // The group service refuses the next call of this word, whoever makes it, as invalid (code 11).
  void refuse_group_call(const std::string& call);

  // From now on keeps a record in folder, an existing folder, for another process to read
  // (backend_record.hpp): "requests.jsonl", a line for each request routed here, and, for each
  // upload completed, a copy of the package "packages/<n>" followed by a line in
  // "packages.jsonl"; for each log upload asked for, a line in "logs.jsonl" naming the storage
  // file it goes to. Lines are appended whole, in the order the backend took them.
  void record_to(const std::filesystem::path& folder);

  // The answer of a backend that finds the bearer token expired.
  static Answer token_expired();
  // A 200 answer of these members: what the backend answers a signed request.
  static Answer backend_answer(const utils::Value& members);

  std::string url() const { return server_.url(); }
  FakeHttpsServer& server() noexcept { return server_; }
  const FakeHttpsServer& server() const noexcept { return server_; }

 private:
  struct Device {
    utils::Value profile;  // as registered, without "sig"
    std::string status = "OFFLINE";
    bool registered = false;
  };
  struct Transfer {
    std::string id;  // the storage file's name
    std::string from;
    std::string to;
    std::string filename;
  };
  struct Group {
    std::string owner;
    std::string description;
    std::vector<std::string> members;  // the owner first
    std::set<std::string> added;       // by the owner, not joined yet
    std::set<std::string> joined;      // by the device, not added yet
  };

  Answer route(const RecordedRequest& request);
  Answer refresh_token(const RecordedRequest& request);
  Answer signed_request(const RecordedRequest& request);
  // The service behind a checked request; mutex_ is held.
  Answer serve(const std::string& path, const utils::Value& body);
  Answer registry(const std::string& path, const utils::Value& body);
  Answer device_list() const;
  Answer transfer(const std::string& path, const utils::Value& body);
  Answer group(const utils::Value& body);
  // The group service's answer to body; refused is set when it is invalid.
  Answer group_service(const utils::Value& body, bool& refused);
  std::string storage_url(const std::string& id) const;
  std::string new_transfer_id();
  // Appends line and a line break to the record's file name, when there is a record.
  void append_record(const char* name, const std::string& line);
  // Keeps a copy of the completed upload in the record, when there is one; mutex_ is held.
  void record_package(const Transfer& upload);

  mutable std::mutex mutex_;
  // All guarded by mutex_:
  std::map<std::string, std::string> access_tokens_;  // by refresh token
  std::set<std::string> expired_tokens_;
  std::map<std::string, std::shared_ptr<const sealcraft::PublicKey>> device_keys_;  // by id text
  std::map<std::string, Device> devices_;  // by id text
  std::vector<std::string> device_order_;  // ids in the order they first registered
  std::vector<Transfer> uploads_;          // requested, not completed
  std::map<std::string, std::deque<Transfer>> queues_;  // by receiving device
  std::map<std::string, Group> groups_;                 // by name
  std::multiset<std::string> refused_calls_;            // call words, each refused once
  std::vector<Exchange> exchanges_;
  unsigned long transfers_made_ = 0;

  std::mutex record_mutex_;  // after mutex_ when both are held
  // Guarded by record_mutex_:
  std::filesystem::path record_folder_;  // no record when empty
  unsigned long packages_recorded_ = 0;

  ScopedFolder storage_{"velmora-fake-storage-"};
  FakeHttpsServer server_;  // last: it serves from construction on
};

}  // namespace velmora::testing
