// One node object in a process of its own, driven by line commands, for tests and demos that need
// several nodes at once:
//   node_harness --folder <dir> --refresh-token <token> --backend <url>
//                [--file-query <secs>] [--container-query <secs>] [--device-list <secs>]
//                [--keepalive <secs>] [--log-level <level>] [--api-cert <pem> --api-key <pem>]
//                [--kill-at <regex>]
// It works in <dir> (the node's working folder), trusts VELMORA_CA_FILE and asks the identity
// provider at VELMORA_IDP_DOMAIN, as the node does; the node logs to standard error. With
// --api-cert and --api-key it also serves the node's local API over HTTPS with that certificate
// and key, on 127.0.0.1 at a free port, the node in place as after its user's login (the
// identity provider's key set fetched at start, the audience VELMORA_API_AUDIENCE). With
// --kill-at the process kills itself (SIGKILL) as the node logs a line that the regular expression
// matches whole ("LEVEL:logger:message"), before the line is written and before the logging call
// returns: a crash at an exact point of the node's work. Once the node// is built it prints "ready", then reads one command a line on standard input and answers one
// line on standard output: "ok <JSON value>" or "error <text>". Device ids travel as the hex
// digits of their bytes. The commands:
//   id                                   ok "<hex>"           this node's device id
//   api_port                             ok <port>            where the local API listens (an
//                                                             error when it is not served)
//   register                             ok true              registers the device with the backend
//   start_threads | kill_threads         ok null
//   declare_friend <hex>                 ok true|false
//   send <hex> <folder>                  ok "<job id>"        send_dockerized_app; the rest of the
//                                                             line is the folder
//   launches | landings                  ok ["<job id>", ...] the ids in the store, in order
//   launch <job id>                      ok {...}             the launch's mapping (to_dict)
//   landing <job id>                     ok {...}             the landing's mapping, and "cntr_id"
//                                                             and "img_id" (null when none)
//   control launch|landing <job id> stop|start|pause|unpause
//                                        ok null              the record's own control
//   package {"dest": "<hex>", "subject": "<subject>", "labels": {...}, "attachment": "<folder>"}
//                                        ok null              sends a package made by hand through
//                                                             the node's own client, as a peer
//                                                             that does not keep the rules might;
//                                                             labels and attachment optional
//   quit                                 ok null              ends the node, then the process
// End of input ends the process as quit does. A node that cannot be built exits with status 1.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "velmora/daemon/api_state.hpp"
#include "velmora/daemon/route_handlers.hpp"
#include "velmora/daemon/server/dispatcher.hpp"
#include "velmora/daemon/server/https_server.hpp"
#include "velmora/daemon/startup/identity_provider.hpp"
#include "velmora/daemon/startup/key_set.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/error.hpp"
#include "velmora/utils/runtime/log.hpp"
#include "velmora/utils/text/hex.hpp"
#include "velmora/utils/text/json_parse.hpp"
#include "velmora/utils/value.hpp"

namespace {

using velmora::model::Velmora;
using velmora::utils::Bytes;
using velmora::utils::Value;

Bytes from_hex(const std::string& hex) {
  const auto digit = [&](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw velmora::utils::ValueError("not a hex device id: " + hex);
  };
  if (hex.size() % 2 != 0) throw velmora::utils::ValueError("not a hex device id: " + hex);
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    bytes += static_cast<char>(digit(hex[i]) * 16 + digit(hex[i + 1]));
  return Bytes(bytes);
}

// The options of the command line, by name without "--"; exits with status 2 for a malformed one.
std::map<std::string, std::string> options(int argc, char** argv) {
  std::map<std::string, std::string> found;
  for (int i = 1; i < argc; i += 2) {
    const std::string name = argv[i];
    if (!name.starts_with("--") || i + 1 >= argc) {
      std::cerr << "node_harness: malformed option " << name << "\n";
      std::exit(2);
    }
    found[name.substr(2)] = argv[i + 1];
  }
  for (const char* required : {"folder", "refresh-token", "backend"}) {
    if (!found.contains(required)) {
      std::cerr << "node_harness: --" << required << " is required\n";
      std::exit(2);
    }
  }
  return found;
}

std::shared_ptr<Velmora> make_node(const std::map<std::string, std::string>& given) {
  const auto number = [&](const char* name, std::int64_t fallback) {
    const auto found = given.find(name);
    return found == given.end() ? fallback : std::stoll(found->second);
  };
  velmora::model::NodeSettings settings;
  settings.backend_url = given.at("backend");
  settings.file_query_interval = number("file-query", settings.file_query_interval);
  settings.container_query_interval =
      number("container-query", settings.container_query_interval);
  settings.device_list_interval = number("device-list", settings.device_list_interval);
  if (const auto level = given.find("log-level"); level != given.end())
    settings.log_level = level->second;
  return std::make_shared<Velmora>(given.at("refresh-token"), settings, number("keepalive", 30));
}

// The node's local API, served from construction to destruction on a thread of its own.
class LocalApi {
 public:
  LocalApi(std::shared_ptr<Velmora> node, const velmora::daemon::IdentityProvider& provider,
           const std::string& cert_file, const std::string& key_file)
      : state_(node->settings(), provider, velmora::daemon::fetch_key_set(provider)),
        dispatcher_(velmora::daemon::route_handlers(&state_)),
        server_(&dispatcher_, cert_file, key_file) {
    state_.set_gobj(std::move(node));
    server_.bind("127.0.0.1", 0);
    serving_ = std::thread([this] { server_.serve(); });
  }
  LocalApi(const LocalApi&) = delete;
  LocalApi& operator=(const LocalApi&) = delete;
  ~LocalApi() {
    server_.stop();
    serving_.join();
  }

  int port() const noexcept { return server_.port(); }

 private:
  velmora::daemon::ApiState state_;
  velmora::daemon::Dispatcher dispatcher_;
  velmora::daemon::HttpsServer server_;
  std::thread serving_;
};

// The local API of node when the options ask for it.
std::unique_ptr<LocalApi> serve_api(const std::map<std::string, std::string>& given,
                                    std::shared_ptr<Velmora> node) {
  const auto cert = given.find("api-cert");
  const auto key = given.find("api-key");
  if (cert == given.end() && key == given.end()) return nullptr;
  if (cert == given.end() || key == given.end())
    throw velmora::utils::ValueError("--api-cert and --api-key go together");
  return std::make_unique<LocalApi>(std::move(node),
                                    velmora::daemon::identity_provider_from_environment(),
                                    cert->second, key->second);
}

template <class Record>
std::shared_ptr<Record> find_record(
    velmora::model::Store<velmora::utils::OrderedDict<std::string, std::shared_ptr<Record>>>&
        store,
    const std::string& job_id) {
  auto record = store.with([&](const auto& records) -> std::shared_ptr<Record> {
    const auto found = records.find(job_id);
    return found == records.end() ? nullptr : found->second;
  });
  if (!record) throw velmora::utils::KeyError("no job " + job_id);
  return record;
}

template <class Records>
Value ids(const Records& store) {
  return store.with([](const auto& records) {
    Value list = Value::array();
    for (const auto& [id, record] : records) list.push_back(id);
    return list;
  });
}

template <class Record>
void control(Record& record, const std::string& word) {
  if (word == "stop") return record.stop();
  if (word == "start") return record.start();
  if (word == "pause") return record.pause();
  if (word == "unpause") return record.unpause();
  throw velmora::utils::ValueError("unknown control " + word);
}

// The answer to one command line; sets quit for "quit".
Value answer(Velmora& node, const LocalApi* api, const std::string& line, bool& quit) {
  std::istringstream words(line);
  std::string command;
  words >> command;
  const auto next = [&] {
    std::string word;
    if (!(words >> word)) throw velmora::utils::ValueError("missing argument to " + command);
    return word;
  };
  if (command == "id") return velmora::utils::hex_digits(node.device()->uuid().view());
  if (command == "api_port") {
    if (!api) throw velmora::utils::RuntimeError("the local API is not served");
    return api->port();
  }
  if (command == "register") return node.network()->register_(*node.device());
  if (command == "start_threads") return node.start_threads(), Value();
  if (command == "kill_threads") return node.kill_threads(), Value();
  if (command == "declare_friend") return node.declare_friend(from_hex(next()));
  if (command == "send") {
    const Bytes dest = from_hex(next());
    std::string folder;
    std::getline(words >> std::ws, folder);
    const Value before = ids(node.launches());
    node.send_dockerized_app(dest, folder);
    for (const Value& id : ids(node.launches()))
      if (std::find(before.begin(), before.end(), id) == before.end()) return id;
    throw velmora::utils::RuntimeError("the launch was not stored");
  }
  if (command == "launches") return ids(node.launches());
  if (command == "landings") return ids(node.landings());
  if (command == "launch") return find_record(node.launches(), next())->to_dict();
  if (command == "landing") {
    const auto lander = find_record(node.landings(), next());
    Value mapping = lander->to_dict();
    const auto or_null = [](const std::optional<std::string>& text) {
      return text ? Value(*text) : Value();
    };
    mapping["cntr_id"] = or_null(lander->cntr_id());
    mapping["img_id"] = or_null(lander->img_id());
    return mapping;
  }
  if (command == "control") {
    const std::string side = next();
    const std::string job_id = next();
    const std::string word = next();
    if (side == "launch") return control(*find_record(node.launches(), job_id), word), Value();
    if (side == "landing") return control(*find_record(node.landings(), job_id), word), Value();
    throw velmora::utils::ValueError("control of launch or landing, not " + side);
  }
  if (command == "package") {
    std::string rest;
    std::getline(words >> std::ws, rest);
    const Value package = velmora::utils::parse_json(rest);
    const std::string attachment = package.value("attachment", "");
    node.network()->send_pkg(velmora::utils::b2s(from_hex(package.at("dest").get<std::string>())),
                             package.at("subject").get<std::string>(), attachment,
                             package.value("labels", Value::object()));
    return Value();
  }
  if (command == "quit") return quit = true, Value();
  throw velmora::utils::ValueError("unknown command " + command);
}

// One line of text: line breaks become spaces.
std::string one_line(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r') c = ' ';
  return text;
}

}  // namespace

// Kills this process as a record whose line matches pattern is logged.
std::unique_ptr<velmora::utils::log::LogCapture> kill_at(const std::string& pattern) {
  namespace log = velmora::utils::log;
  return std::make_unique<log::LogCapture>("", log::kAll, [line = std::regex(pattern)](
                                                              const log::LogRecord& record) {
    if (std::regex_match(log::level_name(record.level) + ":" + record.logger + ":" + record.message,
                         line))
      ::kill(::getpid(), SIGKILL);
  });
}

int main(int argc, char** argv) {
  const std::map<std::string, std::string> given = options(argc, argv);
  std::unique_ptr<velmora::utils::log::LogCapture> killer;
  if (const auto pattern = given.find("kill-at"); pattern != given.end())
    killer = kill_at(pattern->second);
  std::shared_ptr<Velmora> node;
  std::unique_ptr<LocalApi> api;
  try {
    std::filesystem::current_path(given.at("folder"));
    node = make_node(given);
    api = serve_api(given, node);
  } catch (const std::exception& e) {
    std::cerr << "node_harness: cannot build the node: " << e.what() << std::endl;
    return 1;
  }
  std::cout << "ready" << std::endl;
  bool quit = false;
  std::string line;
  while (!quit && std::getline(std::cin, line)) {
    try {
      const Value value = answer(*node, api.get(), line, quit);
      std::cout << "ok " << value.dump() << std::endl;
    } catch (const std::exception& e) {
      std::cout << "error " << one_line(e.what()) << std::endl;
    }
  }
  api.reset();  // before the node: the API holds it too
  node.reset();
  return 0;
}
