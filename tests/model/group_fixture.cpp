#include "group_fixture.hpp"

#include <array>

#include "velmora/model/packages/subject_table.hpp"
#include "velmora/sealcraft/keys.hpp"

namespace velmora::model {
namespace {

namespace fs = std::filesystem;
using networking::kDeviceId;
using networking::kPeerId;

constexpr std::array<const char*, 3> kDevices{"A", "B", "C"};

// The letter of a device id, or the id itself for another device.
std::string name_of(const std::string& id) {
  for (const char* device : kDevices)
    if (id_of(device) == id) return device;
  return id;
}

std::string joined(const Lines& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + name_of(item);
  return std::string("[").append(text).append("]");
}

std::string key_text(const GroupEntryKey& key) {
  if (const auto* group = std::get_if<std::string>(&key)) return *group;
  const auto& [group, id] = std::get<std::pair<std::string, std::string>>(key);
  return group + "/" + name_of(id);
}

// "<group>/<device>" as an owner-side key, "<group>" as a member-side one.
GroupEntryKey key_of(const std::string& text) {
  const auto slash = text.find('/');
  if (slash == std::string::npos) return text;
  return std::pair{text.substr(0, slash), id_of(text.substr(slash + 1))};
}

// "<key>: <value>" split in two.
std::pair<std::string, std::string> split_line(const std::string& line) {
  const auto colon = line.find(": ");
  if (colon == std::string::npos) throw std::invalid_argument("no ': ' in " + line);
  return {line.substr(0, colon), line.substr(colon + 2)};
}

void preset_entries(Store<GroupEntries>& store, const Lines& lines) {
  store.with([&](GroupEntries& entries) {
    entries.clear();
    for (const std::string& line : lines) {
      const auto [key, status] = split_line(line);
      entries.insert_or_assign(key_of(key), status);
    }
  });
}

Lines entry_lines(Store<GroupEntries>& store) {
  return store.with([](const GroupEntries& entries) {
    Lines lines;
    for (const auto& [key, status] : entries) lines.push_back(key_text(key) + ": " + status);
    return lines;
  });
}

void print_lines(const char* name, const Lines& lines, std::ostream& out) {
  out << name << " {";
  for (const std::string& line : lines) out << " \"" << line << "\"";
  out << " }";
}

std::shared_ptr<device::LocalDevice> make_third_device() {
  static const auto keys = sealcraft::make_keys();
  return std::make_shared<device::LocalDevice>(utils::Bytes(std::string_view(kThirdId)),
                                               keys.second, keys.first);
}

}  // namespace

void PrintTo(const GroupState& state, std::ostream* out) {
  print_lines("groups", state.groups, *out);
  print_lines(" invitations", state.invitations, *out);
  print_lines(" requests", state.requests, *out);
  print_lines(" removals", state.removals, *out);
  print_lines(" owned", state.owned, *out);
}

GroupNode::GroupNode(std::shared_ptr<networking::Network> network, const fs::path& folder)
    : network_(network),
      groups_(folder / "groups.bin", [] { return Groups(); }),
      group_invitations_(folder / "group_invitations.bin", [] { return GroupEntries(); }),
      group_requests_(folder / "group_requests.bin", [] { return GroupEntries(); }),
      group_removals_(folder / "group_removals.bin", [] { return GroupNames(); }),
      owned_groups_(folder / "owned_groups.bin", [] { return GroupNames(); }),
      protocol_(std::move(network), {groups_, group_invitations_, group_requests_,
                                     group_removals_, owned_groups_}) {}

void GroupNode::preset(const GroupState& state) {
  groups_.with([&](Groups& groups) {
    groups.clear();
    for (const std::string& line : state.groups) {
      const auto [name, desc] = split_line(line);
      groups.insert_or_assign(name, {{"desc", desc}});
    }
  });
  preset_entries(group_invitations_, state.invitations);
  preset_entries(group_requests_, state.requests);
  group_removals_.with(
      [&](GroupNames& names) { names = {state.removals.begin(), state.removals.end()}; });
  owned_groups_.with([&](GroupNames& names) { names = {state.owned.begin(), state.owned.end()}; });
}

GroupState GroupNode::state() {
  GroupState state;
  groups_.with([&](const Groups& groups) {
    for (const auto& [name, record] : groups) {
      std::string line = name + ":";
      for (const auto& [key, value] : record)
        line += (key == "desc" ? " " : " " + key + "=") + value;
      state.groups.push_back(line);
    }
  });
  state.invitations = entry_lines(group_invitations_);
  state.requests = entry_lines(group_requests_);
  const GroupNames removals = group_removals_.snapshot();
  state.removals.assign(removals.begin(), removals.end());
  const GroupNames owned = owned_groups_.snapshot();
  state.owned.assign(owned.begin(), owned.end());
  return state;
}

Writes GroupNode::writes() {
  Writes writes;
  const auto count = [&](const char* name, std::size_t dumps) {
    if (dumps) writes[name] = dumps;
  };
  count("groups", groups_.dump_count());
  count("group_invitations", group_invitations_.dump_count());
  count("group_requests", group_requests_.dump_count());
  count("group_removals", group_removals_.dump_count());
  count("owned_groups", owned_groups_.dump_count());
  return writes;
}

Lines GroupNode::dispatch() {
  Lines subjects;
  for (const networking::ReceivedPackage& package : networking::waiting_packages(*network_)) {
    const std::string subject = package.label.at("subject");
    const utils::Bytes origin = utils::s2b(package.label.at("origin").get<std::string>());
    const std::string group = package.label.at("group");
    const SubjectRow* const row = find_subject(subject);
    const bool accepted = row->word == "accept";
    try {
      switch (row->handling) {
        case Handling::group_destruction: protocol_.handle_group_destruction(origin, group); break;
        case Handling::group_invitation: protocol_.handle_group_invitation(origin, group); break;
        case Handling::group_invitation_response:
          protocol_.handle_group_invitation_response(origin, group, accepted);
          break;
        case Handling::group_request: protocol_.handle_group_request(origin, group); break;
        case Handling::group_request_response:
          protocol_.handle_group_request_response(origin, group, accepted);
          break;
        case Handling::group_removal: protocol_.handle_group_removal(origin, group); break;
        default: throw std::invalid_argument("no group subject: " + subject);
      }
      subjects.push_back(subject);
    } catch (const utils::Error&) {
      subjects.push_back(subject + " failed");
    }
  }
  return subjects;
}

GroupFixture::GroupFixture() : third_device_(make_third_device()) {
  backend_.set_device_key(kThirdId, third_device_->public_key());
  clients_["A"] = make_network();
  clients_["B"] = make_peer_network();
  clients_["C"] = std::make_shared<networking::Network>(backend_.url(), networking::kRefreshToken,
                                                        third_device_, idp_->url());
}

void GroupFixture::run(const std::vector<GroupCase>& cases) {
  for (const GroupCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<GroupNode> node = make_node(c.device, c.name);
    if (c.setup) c.setup();
    steps();
    logged();
    node->preset(c.before);
    if (c.error.empty()) {
      EXPECT_EQ(c.step(node->protocol()), c.answer);
    } else {
      const std::string thrown = thrown_by([&] { c.step(node->protocol()); });
      EXPECT_TRUE(thrown.starts_with(c.error)) << thrown;
    }
    EXPECT_EQ(node->state(), c.after.value_or(c.before));
    EXPECT_EQ(node->writes(), c.writes);
    EXPECT_EQ(steps(), c.steps);
    EXPECT_EQ(logged(), c.logged);
    for (const char* group : {"crew", "other", "mine"}) forget(group);
  }
}

void GroupFixture::owns(const std::string& owner, const std::string& group) {
  client(owner).group_function("create", group, {}, "GPU");
}

void GroupFixture::joins(const std::string& member, const std::string& group,
                         const std::string& owner) {
  client(owner).group_function("add", group, {id_of(member)});
  client(member).group_function("join", group, {id_of(member)});
}

void GroupFixture::refuse_next_send() {
  backend_.server().script("/transfer/sendfilereq",
                           testing::FakeBackend::backend_answer(
                               {{"valid", false}, {"code", 5}, {"msg", "refused"}}));
}

std::unique_ptr<GroupNode> GroupFixture::make_node(const std::string& device,
                                                   const std::string& name) {
  const fs::path folder = folder_.path() / name;
  fs::create_directory(folder);
  return std::make_unique<GroupNode>(clients_.at(device), folder);
}

networking::Network& GroupFixture::client(const std::string& device) {
  return *clients_.at(device);
}

Lines GroupFixture::steps() {
  const std::vector<testing::FakeBackend::Exchange> exchanges = backend_.exchanges();
  Lines lines;
  for (std::size_t i = steps_seen_; i < exchanges.size(); ++i) {
    const auto& step = exchanges[i];
    if (step.kind == testing::FakeBackend::Exchange::Kind::package) {
      lines.push_back(name_of(step.from) + " -> " + name_of(step.ids.front()) + " " + step.word +
                      " " + step.group);
      continue;
    }
    std::string line = name_of(step.from) + " " + step.word + " " + step.group;
    if (!step.ids.empty()) line.append(" ").append(joined(step.ids));
    if (step.refused) line += " refused";
    lines.push_back(line);
  }
  steps_seen_ = exchanges.size();
  return lines;
}

void GroupFixture::forget(const std::string& group) {
  for (const auto& [device, network] : clients_) {
    try {
      network->group_function("destroy", group);
    } catch (const networking::NetworkError&) {
      // not the owner's, or no such group
    }
    networking::waiting_packages(*network);
  }
  steps_seen_ = backend_.exchanges().size();
}

Lines GroupFixture::logged() {
  const std::vector<std::string> messages = log_.messages();
  Lines lines;
  for (std::size_t i = lines_seen_; i < messages.size(); ++i) {
    std::string line = messages[i];
    if (const auto logger = line.find(":velmora.model:"); logger != std::string::npos)
      line.erase(logger + 1, std::string_view("velmora.model:").size());
    lines.push_back(std::move(line));
  }
  lines_seen_ = messages.size();
  return lines;
}

std::string thrown_by(const std::function<void()>& call) {
  try {
    call();
  } catch (const utils::Error& e) {
    return e.what();
  }
  return "nothing";
}

utils::Bytes from(const std::string& device) { return utils::s2b(id_of(device)); }

std::string id_of(const std::string& device) {
  static const std::map<std::string, std::string> ids{
      {"A", kDeviceId}, {"B", kPeerId}, {"C", kThirdId}};
  const auto found = ids.find(device);
  return found == ids.end() ? device : found->second;
}

}  // namespace velmora::model
