#pragma once
// A node_harness process (testing/node_harness_main.cpp) and the conversation with it: one node
// object working in a folder of its own (which holds the node's own temporary folder), with a
// temporary directory of its own beside it (TMPDIR, where nothing of the node's should land), and
// what it logged. One thread uses it.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "testing/child_process.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::testing {

class HarnessedNode {
 public:
  // Starts program with the harness's options (args, without --folder) in folder, with TMPDIR
  // temp_dir (both made when missing) and extra_environment beside this process's environment,
  // and waits for it to say "ready". RuntimeError, with the node's log, when it does not.
  HarnessedNode(const std::filesystem::path& program, const std::vector<std::string>& args,
                const std::filesystem::path& folder, const std::filesystem::path& temp_dir,
                const std::map<std::string, std::string>& extra_environment);
  HarnessedNode(const HarnessedNode&) = delete;
  HarnessedNode& operator=(const HarnessedNode&) = delete;
  ~HarnessedNode();  // asks the node to quit and waits for it; kills it when it does not end

  // The JSON value of the "ok" answer to command. RuntimeError with the answer otherwise, or
  // when none comes within two minutes.
  utils::Value ask(const std::string& command);
  // The same, but null for an "error" answer.
  std::optional<utils::Value> try_ask(const std::string& command);

  // The device id: its bytes as text, and as the hex digits that commands take.
  const std::string& id() const noexcept { return id_; }
  const std::string& id_hex() const noexcept { return id_hex_; }
  const std::filesystem::path& folder() const noexcept { return folder_; }
  // The node's own temporary folder, in its working folder.
  std::filesystem::path node_temp_dir() const { return folder_ / "velmora-tmp"; }
  // The names of the node's temporary items: those in its own temporary folder (but its marker
  // ".node"), prefixed "INBOX/" the packages in its inbox, and, prefixed "TMPDIR/", those in the
  // temporary directory it was given.
  std::vector<std::string> temp_names() const;

  // What the node logged so far: whole, a line each, and whether it holds line.
  std::string log() const { return process_->standard_error(); }
  std::vector<std::string> log_lines() const { return process_->standard_error_lines(); }
  bool logged(const std::string& line) const { return process_->wrote_error_line(line); }

  // The process, for signals and its exit.
  ChildProcess& process() noexcept { return *process_; }

 private:
  std::string answer_line(const std::string& command);  // "(no answer)" when none comes

  std::filesystem::path folder_;
  std::filesystem::path temp_dir_;
  std::unique_ptr<ChildProcess> process_;
  std::string id_hex_;
  std::string id_;
};

}  // namespace velmora::testing
